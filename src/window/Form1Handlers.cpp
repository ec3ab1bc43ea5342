// Control events: each handler turns one event into one call on the transport, the voices or
// the sound service. Before the start-up load has run, the options and sliders are ignored.
#include "metro/sound/VoiceLevels.h"
#include "metro/window/Form1.h"
#include "metro/window/MetronomeApplication.h"
#include "metro/window/Shape.h"

#include <QDesktopServices>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QUrl>

namespace metro::window {

void Form1::connectControls() {
    connect(m_command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(m_command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(m_command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    const auto onSelect = [this](QRadioButton* option, void (Form1::*handler)()) {
        connect(option, &QRadioButton::toggled, this, [this, handler](bool selected) {
            if (selected) {
                (this->*handler)();
            }
        });
    };
    onSelect(m_option1, &Form1::Option1_Click);
    onSelect(m_option2, &Form1::Option2_Click);
    onSelect(m_option3, &Form1::Option3_Click);
    onSelect(m_option4, &Form1::Option4_Click);
    connectSlider(1, &Form1::Slider1_Change);
    connectSlider(2, &Form1::Slider2_Change);
    connectSlider(3, &Form1::Slider3_Change);
    connectSlider(4, &Form1::Slider4_Change);
}

// A slider's change: each key or click step, and the end of a drag, not the positions between.
void Form1::connectSlider(int beat, void (Form1::*handler)()) {
    QSlider* slider = m_sliders.at(static_cast<std::size_t>(beat - 1));
    connect(slider, &QSlider::valueChanged, this, [this, slider, handler] {
        if (!slider->isSliderDown()) {
            (this->*handler)();
        }
    });
    connect(slider, &QSlider::sliderReleased, this, handler);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
        return previewKey(watched, static_cast<const QKeyEvent&>(*event));
    case QEvent::FocusIn:
        if (watched == m_text1) {
            Text1_GotFocus();
        }
        break;
    case QEvent::FocusOut:
        if (watched == m_text1) {
            Text1_LostFocus();
        }
        break;
    case QEvent::MouseButtonRelease:
        if (watched == m_label17 &&
            static_cast<const QMouseEvent*>(event)->button() == Qt::LeftButton) {
            Label17_Click();
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

// Keys of this window reach the form before the focused control: the space bar toggles from
// anywhere; Enter presses the focused button or else Command1; Esc presses Command3.
bool Form1::previewKey(QObject* watched, const QKeyEvent& event) {
    const auto* target = qobject_cast<const QWidget*>(watched);
    if (target == nullptr || target->window() != this) {
        return false;
    }
    Form_KeyDown(event);
    auto* focused = qobject_cast<QPushButton*>(focusWidget());
    switch (event.key()) {
    case Qt::Key_Space:
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
        QPushButton* pressed = focused != nullptr ? focused : m_command1;
        if (pressed->isEnabled()) {
            pressed->click();
        }
        return true;
    }
    case Qt::Key_Escape:
        if (m_command3->isEnabled()) {
            m_command3->click();
        }
        return true;
    default:
        return false;
    }
}

void Form1::Form_KeyDown(const QKeyEvent& event) {
    m_transport.keyDown(event.key() == Qt::Key_Space ? core::Transport::kSpaceKey : 0);
    followTransport();
}

void Form1::Command1_Click() {
    m_transport.start();
    followTransport();
}

void Form1::Command2_Click() {}

void Form1::Command3_Click() {
    m_transport.stop();
    followTransport();
}

void Form1::Text1_GotFocus() {
    AutoSelectText(*m_text1);
}

void Form1::Text1_LostFocus() {
    m_transport.updatePeriod(tempoText());
}

void Form1::AutoSelectText(QLineEdit& editControl) {
    if (const auto length = editControl.text().size(); length != 0) {
        editControl.setSelection(0, static_cast<int>(length));
    }
}

void Form1::Option1_Click() {
    chooseSound(sound::VoiceSound::Click);
}

void Form1::Option2_Click() {
    chooseSound(sound::VoiceSound::HiHat);
}

void Form1::Option3_Click() {
    chooseSignature(true);
}

void Form1::Option4_Click() {
    chooseSignature(false);
}

void Form1::Slider1_Change() {
    changeLevel(1);
}

void Form1::Slider2_Change() {
    changeLevel(2);
}

void Form1::Slider3_Change() {
    changeLevel(3);
}

void Form1::Slider4_Change() {
    changeLevel(4);
}

void Form1::Label17_Click() {
    QDesktopServices::openUrl(QUrl(QStringLiteral(METRONOME_HOME_PAGE)));
}

// Reloads the voices, then gives each slot its slider's position. A sound that cannot be
// loaded leaves the old voices, and the selection goes back to them.
void Form1::chooseSound(sound::VoiceSound sound) {
    if (!m_transport.ready()) {
        showLoadedSound();
        return;
    }
    try {
        m_voices.load(sound);
    } catch (const sound::SoundError& error) {
        showLoadedSound();
        reportError(error.what());
        return;
    }
    sound::applySliderPositions(m_sound, {m_sliders[0]->value(), m_sliders[1]->value(),
                                          m_sliders[2]->value(), m_sliders[3]->value()});
}

void Form1::showLoadedSound() {
    const bool hiHat = m_voices.loaded() == sound::VoiceSound::HiHat;
    const QSignalBlocker blockClick(m_option1);
    const QSignalBlocker blockHat(m_option2);
    (hiHat ? m_option2 : m_option1)->setChecked(true);
}

void Form1::chooseSignature(bool fourFour) {
    if (!m_transport.ready() || !m_transport.setFourFour(fourFour)) {
        selectSignature(!m_transport.ready() || m_transport.state().FourFour);
        return;
    }
    showSignature(fourFour);
}

void Form1::selectSignature(bool fourFour) {
    const QSignalBlocker blockFour(m_option3);
    const QSignalBlocker blockThree(m_option4);
    (fourFour ? m_option3 : m_option4)->setChecked(true);
}

// Selects the signature's option, writes it into Label8, and shows beat 4 only under 4/4.
void Form1::showSignature(bool fourFour) {
    selectSignature(fourFour);
    m_label8->setText(fourFour ? QStringLiteral("True") : QStringLiteral("False"));
    for (QWidget* beatFour : std::initializer_list<QWidget*>{m_beatNumbers[3], m_lamps[3],
                                                             m_sliders[3], m_label12, m_label16}) {
        beatFour->setVisible(fourFour);
    }
}

void Form1::changeLevel(int beat) {
    if (m_transport.ready()) {
        sound::applySliderChange(m_sound, beat,
                                 m_sliders.at(static_cast<std::size_t>(beat - 1))->value());
    }
}

std::string Form1::tempoText() const {
    return m_text1->text().toStdString();
}

void Form1::focusTempo() {
    m_text1->setFocus(Qt::OtherFocusReason);
    AutoSelectText(*m_text1);
}

void Form1::setPeriodCaption(std::string_view digits) {
    m_label6->setText(QString::fromUtf8(digits.data(), static_cast<qsizetype>(digits.size())));
}

void Form1::setButtonEnabled(core::TransportButton button, bool enabled) {
    (button == core::TransportButton::Start ? m_command1 : m_command3)->setEnabled(enabled);
}

void Form1::setFrameEnabled(core::SettingsFrame frame, bool enabled) {
    switch (frame) {
    case core::SettingsFrame::Sound:
        m_frame1->setEnabled(enabled);
        break;
    case core::SettingsFrame::Tempo:
        m_frame2->setEnabled(enabled);
        break;
    case core::SettingsFrame::Signature:
        m_frame3->setEnabled(enabled);
        break;
    }
}

void Form1::setLampLit(int beat, bool lit) {
    m_lamps.at(static_cast<std::size_t>(beat - 1))->setLit(lit);
}

void Form1::reportError(std::string_view message) {
    QMessageBox::warning(this, QString::fromUtf8(kApplicationTitle),
                         QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
}

} // namespace metro::window
