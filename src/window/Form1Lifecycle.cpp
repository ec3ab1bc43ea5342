// The window's life: building and wiring, opening the sound device, the deferred start-up
// load, and the shut-down order when the window closes.
#include "metro/sound/VoiceLevels.h"
#include "metro/window/Form1.h"
#include "metro/window/MetronomeApplication.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpressionValidator>

#include <chrono>
#include <string>

namespace metro::window {

namespace {
/// How often the caption checks whether the sound device plays.
constexpr std::chrono::milliseconds kSoundStateCheck{500};
} // namespace

Form1::Form1(core::Transport& transport, sound::SoundService& sound, VoiceLoader& voices,
             LampRelay& lamps, QWidget* parent)
    : QWidget(parent), m_transport(transport), m_sound(sound), m_voices(voices),
      m_lampRelay(lamps) {
    m_timer1.setParent(this);
    m_lampTimer.setParent(this);
    buildLayout();
    connectControls();
    m_transport.attachView(*this);
    m_lampTimer.setSingleShot(true);
    m_lampTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_lampTimer, &QTimer::timeout, this, &Form1::drainLamps);
    connect(&m_timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    m_soundStateTimer.setParent(this);
    m_soundStateTimer.setInterval(kSoundStateCheck);
    connect(&m_soundStateTimer, &QTimer::timeout, this, &Form1::showSoundState);
    qApp->installEventFilter(this);
}

Form1::~Form1() {
    if (m_loaded) {
        Form_Unload();
    }
}

bool Form1::Form_Load() {
    m_text1->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_text1));
    try {
        m_sound.open();
    } catch (const sound::SoundError&) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle),
                        QString::fromLatin1(kDeviceMessage), QMessageBox::Ok);
        box.exec();
        return false;
    }
    m_loaded = true;
    m_timer1.start();
    return true;
}

// The lamps keep the beat while the sound device is lost; the caption says the clicks do not.
// Looked at while running (a stopped metronome wakes for nothing), and at every Start and Stop.
void Form1::showSoundState() {
    const QString caption = QString::fromLatin1(kCaption);
    setWindowTitle(m_sound.outputAvailable() ? caption : caption + QStringLiteral(" - no sound"));
}

void Form1::Timer1_Timer() {
    m_transport.setFourFour(true);
    m_label8->setText(QStringLiteral("True"));
    m_voices.load(sound::VoiceSound::Click); // SETIT
    Loadfirst();
    m_transport.setReady(true);
}

void Form1::Loadfirst() {
    sound::applyDefaultLevels(m_sound);
    m_transport.updatePeriod(tempoText());
    setPeriodCaption(std::to_string(m_transport.state().PeriodMs));
    m_transport.setFourFour(true);
    m_timer1.stop();
}

void Form1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

// Reverse of start-up: no tick runs once the transport is shut down, so none can reach the
// window or a voice after this.
void Form1::Form_Unload() {
    if (m_unloaded) {
        return;
    }
    m_unloaded = true;
    m_timer1.stop();
    m_soundStateTimer.stop();
    m_transport.shutdown();
    m_lampTimer.stop();
    m_voices.release();
    m_sound.close();
}

} // namespace metro::window
