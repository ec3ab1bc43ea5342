// Builds the window: every control in its place, size, font, colours and first state.
// Places and sizes are given in twips (15 to a pixel at 96 dpi), as the layout was drawn.
#include "metro/sound/VoiceLevels.h"
#include "metro/window/Form1.h"
#include "metro/window/Shape.h"

#include <QApplication>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QStyle>

// The window's icons live in this static library; register them before the first use.
static void initWindowResources() {
    Q_INIT_RESOURCE(window_icons);
}

namespace metro::window {

namespace {

constexpr int kTwipsPerPixel = 15;
const QColor kFrameFace(224, 224, 224);
const QColor kLowerPanel(192, 192, 192);
const QColor kLineColour(128, 128, 128);
const QColor kLampLight(128, 255, 128);
const QColor kLampGreen(0, 255, 0);
constexpr int kSliderTickInterval = 200;
constexpr int kSliderPageStep = 5;
constexpr int kOptionTextGap = 2; // pixels between an option's indicator and its text

// The options' boxes are as narrow as their captions. Fusion's 6-pixel gap after the indicator
// pushed the end of "Click" past its box; a narrower gap makes every caption fit, at any scale,
// without growing the boxes.
class OptionStyle final : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override {
        return metric == PM_RadioButtonLabelSpacing
                   ? kOptionTextGap
                   : QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QRect twips(int left, int top, int width, int height) {
    return {left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
            height / kTwipsPerPixel};
}

// The nearest sans-serif face to the one the layout was drawn with, at the given size.
QFont sans(double points, bool bold = false) {
    QFont font(QStringList{QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void paint(QWidget* widget, const QColor& background, const QColor& text = QColor()) {
    QPalette palette = widget->palette();
    if (background.isValid()) {
        palette.setColor(QPalette::Window, background);
        widget->setAutoFillBackground(true);
    }
    if (text.isValid()) {
        palette.setColor(QPalette::WindowText, text);
    }
    widget->setPalette(palette);
}

template <typename W> W* place(W* widget, const char* name, const QRect& geometry) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const char* caption, const QRect& geometry,
              const QFont& font = sans(8.25)) {
    auto* item = place(new QLabel(QString::fromUtf8(caption), parent), name, geometry);
    item->setFont(font);
    return item;
}

QRadioButton* option(QGroupBox* frame, const char* name, const char* caption, const QRect& geometry,
                     QStyle* style) {
    auto* item = place(new QRadioButton(QString::fromLatin1(caption), frame), name, geometry);
    item->setStyle(style);
    item->setFont(sans(9.75));
    paint(item, kFrameFace);
    return item;
}

QGroupBox* frame(QWidget* parent, const char* name, const char* caption, const QRect& geometry) {
    auto* item = place(new QGroupBox(QString::fromLatin1(caption), parent), name, geometry);
    item->setFont(sans(8.25, true));
    paint(item, kFrameFace);
    return item;
}

QPushButton* button(QWidget* parent, const char* name, const char* caption, const QRect& geometry,
                    const QFont& font) {
    auto* item = place(new QPushButton(QString::fromLatin1(caption), parent), name, geometry);
    item->setFont(font);
    return item;
}

} // namespace

void Form1::buildLayout() {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kCaption));
    initWindowResources();
    QIcon icon;
    for (const int pixels : {16, 20, 24, 32, 40, 48, 64, 128}) {
        icon.addFile(QStringLiteral(":/icons/metronome-%1.png").arg(pixels));
    }
    setWindowIcon(icon);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(twips(0, 0, 9750, 5520).size());
    setFont(sans(8.25));
    buildPanels();
    buildLamps();
    buildSliders();
    buildHidden();
    buildFrames();
    m_command1 =
        button(this, "Command1", "Start/Stop (Spacebar)", twips(1440, 4320, 3255, 975), sans(13.5));
    m_command1->setDefault(true);
    m_command3 = button(this, "Command3", "STOP", twips(5040, 4320, 3255, 975), sans(13.5));
    m_command3->setEnabled(false);
    stackDrawnElements();
    setTabOrder();
    m_option1->setFocus(Qt::OtherFocusReason);
    if (const QScreen* screen = this->screen()) {
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));
    }
}

void Form1::buildFrames() {
    auto* optionStyle = new OptionStyle; // follows the application's style
    optionStyle->setParent(this);
    m_frame1 = frame(this, "Frame1", "Sound", twips(600, 360, 2535, 855));
    m_option1 = option(m_frame1, "Option1", "Click", twips(240, 360, 735, 255), optionStyle);
    m_option2 = option(m_frame1, "Option2", "HiHat", twips(1560, 360, 855, 255), optionStyle);
    m_option1->setChecked(true);

    m_frame2 = frame(this, "Frame2", "Tempo", twips(3840, 360, 1935, 855));
    m_text1 =
        place(new QLineEdit(QStringLiteral("120"), m_frame2), "Text1", twips(240, 360, 855, 285));
    m_text1->setFont(sans(9.75));
    paint(label(m_frame2, "Label1", "BPM", twips(1320, 360, 495, 255), sans(9.75)), kFrameFace);

    m_frame3 = frame(this, "Frame3", "Signature", twips(6720, 360, 1935, 855));
    m_option3 = option(m_frame3, "Option3", "4/4", twips(240, 360, 735, 255), optionStyle);
    m_option4 = option(m_frame3, "Option4", "3/4", twips(1200, 360, 615, 255), optionStyle);
    m_option3->setChecked(true);
}

void Form1::buildLamps() {
    const QColor outline = palette().color(QPalette::WindowText);
    static constexpr std::array<int, core::kBeatCount> kLeft{720, 3120, 5520, 7800};
    static constexpr std::array<const char*, core::kBeatCount> kShape{"Shape2", "Shape3", "Shape4",
                                                                      "Shape5"};
    static constexpr std::array<const char*, core::kBeatCount> kNumber{"Label2", "Label3", "Label4",
                                                                       "Label5"};
    static constexpr std::array<const char*, core::kBeatCount> kDigit{"1", "2", "3", "4"};
    for (std::size_t i = 0; i < m_lamps.size(); ++i) {
        const QColor fill = i == 1 ? kLampGreen : kLampLight;
        m_lamps[i] = place(new Shape(outline, fill, false, this), kShape[i],
                           twips(kLeft[i], 1920, 1215, 1095));
        m_lamps[i]->setAccessibleName(QStringLiteral("Beat %1 lamp").arg(i + 1));
        m_beatNumbers[i] =
            label(this, kNumber[i], kDigit[i], twips(kLeft[i] + 120, 2040, 975, 855), sans(24));
        m_beatNumbers[i]->setAlignment(Qt::AlignCenter);
        m_beatNumbers[i]->setAutoFillBackground(true);
    }
}

void Form1::buildSliders() {
    static constexpr std::array<int, core::kBeatCount> kLeft{480, 2880, 5280, 7560};
    static constexpr std::array<int, core::kBeatCount> kHeight{615, 615, 495, 495};
    static constexpr std::array<int, core::kBeatCount> kInitial{0, -800, -800, -800};
    static constexpr std::array<const char*, core::kBeatCount> kName{"Slider1", "Slider2",
                                                                     "Slider3", "Slider4"};
    static constexpr std::array<const char*, 8> kMark{"Label9",  "Label10", "Label11", "Label12",
                                                      "Label13", "Label14", "Label15", "Label16"};
    for (std::size_t i = 0; i < m_sliders.size(); ++i) {
        auto* slider = place(new QSlider(Qt::Horizontal, this), kName[i],
                             twips(kLeft[i], 3120, 1695, kHeight[i]));
        slider->setRange(sound::kSliderMin, sound::kSliderMax);
        slider->setSingleStep(1);
        slider->setPageStep(kSliderPageStep);
        slider->setTickInterval(kSliderTickInterval);
        slider->setTickPosition(QSlider::TicksBelow);
        slider->setValue(kInitial[i]);
        slider->setAccessibleName(QStringLiteral("Beat %1 level").arg(i + 1));
        m_sliders[i] = slider;
        // The marks of the last slider sit 120 twips further right than the pattern.
        const int shift = i == 3 ? 120 : 0;
        label(this, kMark[i], "Min", twips(kLeft[i] + shift, 3720, 375, 255))
            ->setAutoFillBackground(true);
        label(this, kMark[i + 4], "Max", twips(kLeft[i] + 1320 + shift, 3720, 375, 255))
            ->setAutoFillBackground(true);
    }
    m_label12 = findChild<QLabel*>(QStringLiteral("Label12"));
    m_label16 = findChild<QLabel*>(QStringLiteral("Label16"));
}

void Form1::buildPanels() {
    const QColor outline = palette().color(QPalette::WindowText);
    place(new Shape(outline, kFrameFace, true, this), "Shape1", twips(120, 120, 9495, 1335));
    place(new Shape(outline, kLowerPanel, true, this), "Shape6", twips(120, 4200, 9495, 1215));
    // Line1 runs from (0, 4080) to (9720, 4080), one pixel wide.
    place(new Shape(QColor(), kLineColour, true, this), "Line1", QRect(0, 4080 / 15, 649, 1));
    paint(label(this, "Label18", "Qo", twips(480, 4440, 615, 495), sans(18)), kLowerPanel,
          kFrameFace);
    m_label17 = label(this, "Label17", "Qo", twips(8640, 4440, 615, 495), sans(18));
    paint(m_label17, kLowerPanel, kFrameFace);
    m_label17->setCursor(Qt::PointingHandCursor);
    m_label17->setToolTip(QStringLiteral("Open the home page"));
    for (QLabel* mark : {findChild<QLabel*>(QStringLiteral("Label18")), m_label17}) {
        mark->setAlignment(Qt::AlignCenter);
    }
    place(new Shape(kFrameFace, kFrameFace, false, this), "Shape7", twips(480, 4440, 615, 495));
    place(new Shape(kFrameFace, kFrameFace, false, this), "Shape8", twips(8640, 4440, 615, 495));
    paint(label(this, "Label19", "Free", twips(8880, 5160, 735, 255)), QColor(), Qt::white);
}

void Form1::buildHidden() {
    m_command2 = button(this, "Command2", "MIDI", twips(8880, 600, 615, 375), sans(8.25));
    m_label6 = label(this, "Label6", "Label6", twips(8400, 4800, 495, 375));
    auto* label7 = label(this, "Label7", "Label7", twips(8400, 4320, 495, 375));
    m_label8 = label(this, "Label8", "Label8", twips(9000, 4320, 615, 255));
    for (QWidget* hidden : {static_cast<QWidget*>(m_command2), static_cast<QWidget*>(m_label6),
                            static_cast<QWidget*>(label7), static_cast<QWidget*>(m_label8)}) {
        hidden->setVisible(false);
    }
    m_timer1.setObjectName(QStringLiteral("Timer1"));
    m_timer1.setInterval(150);
    m_timer1.setSingleShot(true);
}

// Drawn elements from back to front; the controls lie above all of them.
void Form1::stackDrawnElements() {
    static constexpr std::array<const char*, 27> kBackToFront{
        "Label6",  "Label8",  "Label7",  "Shape6",  "Shape1",  "Shape2",  "Shape3",
        "Shape4",  "Shape5",  "Line1",   "Label2",  "Label3",  "Label4",  "Label5",
        "Label9",  "Label10", "Label11", "Label12", "Label13", "Label14", "Label15",
        "Label16", "Label17", "Label18", "Shape7",  "Shape8",  "Label19"};
    for (const char* name : kBackToFront) {
        findChild<QWidget*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly)->raise();
    }
    for (QWidget* control : std::initializer_list<QWidget*>{
             m_frame1, m_frame2, m_frame3, m_sliders[0], m_sliders[1], m_sliders[2], m_sliders[3],
             m_command1, m_command2, m_command3}) {
        control->raise();
    }
}

void Form1::setTabOrder() {
    const std::initializer_list<QWidget*> chain{
        m_option1,    m_option2,    m_text1,      m_option3,  m_option4, m_sliders[0],
        m_sliders[1], m_sliders[2], m_sliders[3], m_command1, m_command3};
    QWidget* previous = nullptr;
    for (QWidget* next : chain) {
        if (previous != nullptr) {
            QWidget::setTabOrder(previous, next);
        }
        previous = next;
    }
}

} // namespace metro::window
