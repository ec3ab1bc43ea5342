// The window as it first appears: every control's place, size, font and state, the colours,
// the stacking and the tab order.
#include "WindowRig.h"

#include "metro/window/Shape.h"

#include <QAbstractSlider>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>

using namespace metro::window;
using namespace metro::window::test;

class Form1LayoutTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_rig = std::make_unique<Rig>();
        QVERIFY(m_rig->startUp());
    }
    void cleanup() { m_rig.reset(); }

    void controlsHaveTheirPlaceSizeAndFont_data();
    void controlsHaveTheirPlaceSizeAndFont();
    void windowIsFixedCentredAndCaptioned();
    void firstAppearance();
    void slidersHaveTheirRangeAndSteps();
    void drawnElementsStackBehindTheControls();
    void tabVisitsEachStopOnce();
    void panelsLampsAndRingsShowTheirColours();

private:
    std::unique_ptr<Rig> m_rig;
};

// Left, top, width and height in twips; point size 0 for the drawn shapes, which have no font.
void Form1LayoutTest::controlsHaveTheirPlaceSizeAndFont_data() {
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<double>("points");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("enabled");
    const auto row = [](const char* name, const char* parent, QRect twips, double points,
                        bool bold = false, bool visible = true, bool enabled = true) {
        QTest::newRow(name) << QString::fromLatin1(parent) << twips << points << bold << visible
                            << enabled;
    };
    row("Command1", "Form1", {1440, 4320, 3255, 975}, 13.5);
    row("Command3", "Form1", {5040, 4320, 3255, 975}, 13.5, false, true, false);
    row("Frame1", "Form1", {600, 360, 2535, 855}, 8.25, true);
    row("Option1", "Frame1", {240, 360, 735, 255}, 9.75);
    row("Option2", "Frame1", {1560, 360, 855, 255}, 9.75);
    row("Frame2", "Form1", {3840, 360, 1935, 855}, 8.25, true);
    row("Text1", "Frame2", {240, 360, 855, 285}, 9.75);
    row("Label1", "Frame2", {1320, 360, 495, 255}, 9.75);
    row("Frame3", "Form1", {6720, 360, 1935, 855}, 8.25, true);
    row("Option3", "Frame3", {240, 360, 735, 255}, 9.75);
    row("Option4", "Frame3", {1200, 360, 615, 255}, 9.75);
    const std::array<int, 4> lampLeft{720, 3120, 5520, 7800};
    const std::array<int, 4> sliderLeft{480, 2880, 5280, 7560};
    const std::array<int, 4> sliderHeight{615, 615, 495, 495};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto n = static_cast<int>(i);
        row(qPrintable(QStringLiteral("Shape%1").arg(n + 2)), "Form1",
            {lampLeft[i], 1920, 1215, 1095}, 0);
        row(qPrintable(QStringLiteral("Label%1").arg(n + 2)), "Form1",
            {lampLeft[i] + 120, 2040, 975, 855}, 24);
        row(qPrintable(QStringLiteral("Slider%1").arg(n + 1)), "Form1",
            {sliderLeft[i], 3120, 1695, sliderHeight[i]}, 8.25);
        const int shift = i == 3 ? 120 : 0;
        row(qPrintable(QStringLiteral("Label%1").arg(n + 9)), "Form1",
            {sliderLeft[i] + shift, 3720, 375, 255}, 8.25);
        row(qPrintable(QStringLiteral("Label%1").arg(n + 13)), "Form1",
            {sliderLeft[i] + 1320 + shift, 3720, 375, 255}, 8.25);
    }
    row("Shape1", "Form1", {120, 120, 9495, 1335}, 0);
    row("Shape6", "Form1", {120, 4200, 9495, 1215}, 0);
    row("Label18", "Form1", {480, 4440, 615, 495}, 18);
    row("Shape7", "Form1", {480, 4440, 615, 495}, 0);
    row("Label17", "Form1", {8640, 4440, 615, 495}, 18);
    row("Shape8", "Form1", {8640, 4440, 615, 495}, 0);
    row("Label19", "Form1", {8880, 5160, 735, 255}, 8.25);
    row("Line1", "Form1", {0, 4080, 9735, 15}, 0); // (0, 4080) to (9720, 4080), ends included
    row("Command2", "Form1", {8880, 600, 615, 375}, 8.25, false, false);
    row("Label6", "Form1", {8400, 4800, 495, 375}, 8.25, false, false);
    row("Label7", "Form1", {8400, 4320, 495, 375}, 8.25, false, false);
    row("Label8", "Form1", {9000, 4320, 615, 255}, 8.25, false, false);
}

void Form1LayoutTest::controlsHaveTheirPlaceSizeAndFont() {
    QFETCH(QString, parent);
    QFETCH(QRect, twips);
    QFETCH(double, points);
    QFETCH(bool, bold);
    QFETCH(bool, visible);
    QFETCH(bool, enabled);
    const auto* control = m_rig->find(QTest::currentDataTag());
    QVERIFY(control != nullptr);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    QCOMPARE(control->geometry(),
             QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    if (points > 0) {
        QCOMPARE(control->font().pointSizeF(), points);
        QCOMPARE(control->font().bold(), bold);
        QVERIFY(QFontInfo(control->font()).family().contains(QStringLiteral("Sans")));
    }
    QCOMPARE(control->isVisible(), visible);
    QCOMPARE(control->isEnabled(), enabled);
}

void Form1LayoutTest::windowIsFixedCentredAndCaptioned() {
    Form1& form = m_rig->form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Qo Metronome (v 1.00a)"));
    QCOMPARE(form.size(), QSize(650, 368));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(form.geometry().center(), form.screen()->availableGeometry().center());
    QCOMPARE(form.windowIcon().availableSizes().value(0), QSize(32, 32));
}

void Form1LayoutTest::firstAppearance() {
    Rig& rig = *m_rig;
    QCOMPARE(rig.find<QPushButton>("Command1")->text(), QStringLiteral("Start/Stop (Spacebar)"));
    QVERIFY(rig.find<QPushButton>("Command1")->isDefault());
    QCOMPARE(rig.find<QPushButton>("Command3")->text(), QStringLiteral("STOP"));
    QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
    QVERIFY(!rig.find<QRadioButton>("Option2")->isChecked());
    QVERIFY(rig.find<QRadioButton>("Option3")->isChecked());
    QVERIFY(!rig.find<QRadioButton>("Option4")->isChecked());
    QCOMPARE(rig.find<QLineEdit>("Text1")->text(), QStringLiteral("120"));
    QCOMPARE(rig.find<QGroupBox>("Frame2")->title(), QStringLiteral("Tempo"));
    QCOMPARE(rig.find<QLabel>("Label1")->text(), QStringLiteral("BPM"));
    QVERIFY(rig.litLamps().empty());
    QCOMPARE(rig.find<QLabel>("Label5")->text(), QStringLiteral("4"));
    QCOMPARE(rig.find<QLabel>("Label9")->text(), QStringLiteral("Min"));
    QCOMPARE(rig.find<QLabel>("Label16")->text(), QStringLiteral("Max"));
    QCOMPARE(rig.find<QSlider>("Slider3")->accessibleName(), QStringLiteral("Beat 3 level"));
    QCOMPARE(rig.find<Shape>("Shape3")->accessibleName(), QStringLiteral("Beat 2 lamp"));
    QCOMPARE(rig.find("Label17")->cursor().shape(), Qt::PointingHandCursor);
    QVERIFY(!rig.find<QLabel>("Label19")->text().isEmpty());
    QCOMPARE(rig.form.focusWidget(), rig.find("Option1"));
}

void Form1LayoutTest::slidersHaveTheirRangeAndSteps() {
    const std::array<int, 4> initial{0, -800, -800, -800};
    for (int n = 1; n <= 4; ++n) {
        const auto* slider = m_rig->find<QSlider>(qPrintable(QStringLiteral("Slider%1").arg(n)));
        QCOMPARE(slider->orientation(), Qt::Horizontal);
        QCOMPARE(slider->minimum(), -3200);
        QCOMPARE(slider->maximum(), 0);
        QCOMPARE(slider->singleStep(), 1);
        QCOMPARE(slider->pageStep(), 5);
        QCOMPARE(slider->tickInterval(), 200);
        QCOMPARE(slider->tickPosition(), QSlider::TicksBelow);
        QCOMPARE(slider->value(), initial.at(static_cast<std::size_t>(n - 1)));
    }
}

// Later siblings lie in front. Controls lie in front of every drawn element.
void Form1LayoutTest::drawnElementsStackBehindTheControls() {
    const QStringList backToFront{"Label6",  "Label8",  "Label7",  "Shape6",  "Shape1",  "Shape2",
                                  "Shape3",  "Shape4",  "Shape5",  "Line1",   "Label2",  "Label3",
                                  "Label4",  "Label5",  "Label9",  "Label10", "Label11", "Label12",
                                  "Label13", "Label14", "Label15", "Label16", "Label17", "Label18",
                                  "Shape7",  "Shape8",  "Label19"};
    QStringList stacked;
    for (const QObject* child : m_rig->form.children()) {
        if (child->isWidgetType() && !child->objectName().isEmpty()) {
            stacked << child->objectName();
        }
    }
    QStringList drawn;
    for (const QString& name : stacked) {
        if (backToFront.contains(name)) {
            drawn << name;
        }
    }
    QCOMPARE(drawn, backToFront);
    const auto lastDrawn = stacked.indexOf(QStringLiteral("Label19"));
    for (const char* control :
         {"Frame1", "Frame2", "Frame3", "Slider1", "Slider4", "Command1", "Command3"}) {
        QVERIFY2(stacked.indexOf(QString::fromLatin1(control)) > lastDrawn, control);
    }
    // The outline over the home-page label lets its clicks through.
    const QWidget* label17 = m_rig->find("Label17");
    QCOMPARE(m_rig->form.childAt(label17->geometry().center()), label17);
}

// Each option group is one stop, at its selected button; the disabled STOP is skipped.
void Form1LayoutTest::tabVisitsEachStopOnce() {
    QTRY_COMPARE(QApplication::focusWidget(), m_rig->find("Option1"));
    QStringList visited;
    for (int i = 0; i < 10; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, QStringList({"Text1", "Option3", "Slider1", "Slider2", "Slider3", "Slider4",
                                   "Command1", "Option1", "Text1", "Option3"}));
    QTest::keyClick(m_rig->find("Option3"), Qt::Key_Tab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Text1"));
}

void Form1LayoutTest::panelsLampsAndRingsShowTheirColours() {
    Rig& rig = *m_rig;
    const auto colourAt = [&rig](QPoint at) { return rig.form.grab().toImage().pixelColor(at); };
    QCOMPARE(colourAt({10, 10}), QColor(224, 224, 224));   // upper panel
    QCOMPARE(colourAt({20, 350}), QColor(192, 192, 192));  // lower panel
    QCOMPARE(colourAt({300, 272}), QColor(128, 128, 128)); // separator line
    const QColor face = rig.form.palette().color(QPalette::Window);
    const std::array<QPoint, 4> ring{QPoint{52, 160}, {212, 160}, {372, 160}, {524, 160}};
    const std::array<QColor, 4> fill{QColor(128, 255, 128), QColor(0, 255, 0),
                                     QColor(128, 255, 128), QColor(128, 255, 128)};
    for (int beat = 1; beat <= 4; ++beat) {
        const auto i = static_cast<std::size_t>(beat - 1);
        QCOMPARE(colourAt(ring[i]), face);
        rig.form.setLampLit(beat, true);
        QCOMPARE(colourAt(ring[i]), fill[i]);
        QCOMPARE(colourAt(ring[i] + QPoint(8, -20)), face); // the number box stays opaque
        rig.form.setLampLit(beat, false);
    }
}

METRONOME_WINDOW_TEST_MAIN(Form1LayoutTest)
#include "Form1LayoutTest.moc"
