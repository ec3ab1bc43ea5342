// The window as it first appears and at work: places, keys, transport states, lamps, options,
// sliders and the tempo box.
#include "WindowRig.h"

#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>

using namespace metro;
using namespace metro::window;
using namespace metro::window::test;

namespace {
enum : int { kBold = 1, kHidden = 2, kDisabled = 4 };
struct Place {
    const char* name;
    const char* parent;
    QRect twips;
    double points; // 0 for the drawn shapes, which have no font
    int flags = 0;
};
// Left, top, width and height in twips (15 to a pixel).
const std::array<Place, 43> kPlaces{{
    {"Command1", "Form1", {1440, 4320, 3255, 975}, 13.5},
    {"Command3", "Form1", {5040, 4320, 3255, 975}, 13.5, kDisabled},
    {"Frame1", "Form1", {600, 360, 2535, 855}, 8.25, kBold},
    {"Option1", "Frame1", {240, 360, 735, 255}, 9.75},
    {"Option2", "Frame1", {1560, 360, 855, 255}, 9.75},
    {"Frame2", "Form1", {3840, 360, 1935, 855}, 8.25, kBold},
    {"Text1", "Frame2", {240, 360, 855, 285}, 9.75},
    {"Label1", "Frame2", {1320, 360, 495, 255}, 9.75},
    {"Frame3", "Form1", {6720, 360, 1935, 855}, 8.25, kBold},
    {"Option3", "Frame3", {240, 360, 735, 255}, 9.75},
    {"Option4", "Frame3", {1200, 360, 615, 255}, 9.75},
    {"Shape2", "Form1", {720, 1920, 1215, 1095}, 0},
    {"Shape3", "Form1", {3120, 1920, 1215, 1095}, 0},
    {"Shape4", "Form1", {5520, 1920, 1215, 1095}, 0},
    {"Shape5", "Form1", {7800, 1920, 1215, 1095}, 0},
    {"Label2", "Form1", {840, 2040, 975, 855}, 24},
    {"Label3", "Form1", {3240, 2040, 975, 855}, 24},
    {"Label4", "Form1", {5640, 2040, 975, 855}, 24},
    {"Label5", "Form1", {7920, 2040, 975, 855}, 24},
    {"Slider1", "Form1", {480, 3120, 1695, 615}, 8.25},
    {"Slider2", "Form1", {2880, 3120, 1695, 615}, 8.25},
    {"Slider3", "Form1", {5280, 3120, 1695, 495}, 8.25},
    {"Slider4", "Form1", {7560, 3120, 1695, 495}, 8.25},
    {"Label9", "Form1", {480, 3720, 375, 255}, 8.25},
    {"Label10", "Form1", {2880, 3720, 375, 255}, 8.25},
    {"Label11", "Form1", {5280, 3720, 375, 255}, 8.25},
    {"Label12", "Form1", {7680, 3720, 375, 255}, 8.25},
    {"Label13", "Form1", {1800, 3720, 375, 255}, 8.25},
    {"Label14", "Form1", {4200, 3720, 375, 255}, 8.25},
    {"Label15", "Form1", {6600, 3720, 375, 255}, 8.25},
    {"Label16", "Form1", {9000, 3720, 375, 255}, 8.25},
    {"Shape1", "Form1", {120, 120, 9495, 1335}, 0},
    {"Shape6", "Form1", {120, 4200, 9495, 1215}, 0},
    {"Label18", "Form1", {480, 4440, 615, 495}, 18},
    {"Shape7", "Form1", {480, 4440, 615, 495}, 0},
    {"Label17", "Form1", {8640, 4440, 615, 495}, 18},
    {"Shape8", "Form1", {8640, 4440, 615, 495}, 0},
    {"Label19", "Form1", {8880, 5160, 735, 255}, 8.25},
    {"Line1", "Form1", {0, 4080, 9735, 15}, 0}, // (0, 4080) to (9720, 4080), ends included
    {"Command2", "Form1", {8880, 600, 615, 375}, 8.25, kHidden},
    {"Label6", "Form1", {8400, 4800, 495, 375}, 8.25, kHidden},
    {"Label7", "Form1", {8400, 4320, 495, 375}, 8.25, kHidden},
    {"Label8", "Form1", {9000, 4320, 615, 255}, 8.25, kHidden},
}};
} // namespace

// Receives the addresses the desktop is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.push_back(url); }
};

class Form1Test : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_rig = std::make_unique<Rig>();
        QVERIFY(m_rig->startUp());
    }
    void cleanup() { m_rig.reset(); }

    void controlsHaveTheirPlaceSizeAndFont();
    void firstAppearance();
    void litLampsShowTheirColours();
    void spaceTogglesFromEveryFocusedControl();
    void runningLocksTheFramesButNotTheSliders();
    void enterPressesStartOrTheFocusedButtonAndEscStops();
    void lampsFollowTheBeatsAndStaleStatesAreDropped();
    void lampWaitsUntilItsClickIsAudible();
    void threeFourHidesBeatFourAndMovesNothing();
    void refusedTempoReturnsFocusWithTheTextSelected();
    void leavingTheTempoBoxSetsThePeriodButNotLabel6();
    void slidersReportStepsAndTheEndOfADrag();
    void reloadAppliesTheSlidersAndAFailedOneKeepsTheOldSound();
    void homePageLabelOpensTheAddress();

private:
    QWidget* focusOn(const char* name) {
        QWidget* widget = m_rig->find(name);
        widget->setFocus(Qt::TabFocusReason);
        return widget;
    }
    void space() { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); }
    std::unique_ptr<Rig> m_rig;
};

// Compared as one line per control, so that a failure names the control and what differs.
void Form1Test::controlsHaveTheirPlaceSizeAndFont() {
    const auto line = [](const char* name, const QString& parent, QRect r, double points, bool bold,
                         bool visible, bool enabled) {
        return QStringLiteral("%1 in %2 at %3,%4 %5x%6 %7pt bold %8 visible %9 enabled %10")
            .arg(name, parent)
            .arg(r.x())
            .arg(r.y())
            .arg(r.width())
            .arg(r.height())
            .arg(points)
            .arg(bold)
            .arg(visible)
            .arg(enabled);
    };
    QStringList expected;
    QStringList actual;
    for (const Place& p : kPlaces) {
        const QRect& t = p.twips;
        expected << line(p.name, QString::fromLatin1(p.parent),
                         {t.x() / 15, t.y() / 15, t.width() / 15, t.height() / 15}, p.points,
                         (p.flags & kBold) != 0, (p.flags & kHidden) == 0,
                         (p.flags & kDisabled) == 0);
        const QWidget* c = m_rig->find(p.name);
        QVERIFY2(c != nullptr, p.name);
        const QFont font = p.points > 0 ? c->font() : QFont(); // drawn shapes have no font
        actual << line(p.name, c->parentWidget()->objectName(), c->geometry(),
                       p.points > 0 ? font.pointSizeF() : 0, p.points > 0 && font.bold(),
                       c->isVisible(), c->isEnabled());
        QVERIFY2(p.points == 0 || QFontInfo(font).family().contains(QStringLiteral("Sans")),
                 p.name);
    }
    QCOMPARE(actual, expected);
}

void Form1Test::firstAppearance() {
    Rig& rig = *m_rig;
    Form1& form = rig.form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Qo Metronome (v 1.00a)"));
    QCOMPARE(form.size(), QSize(650, 368));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QCOMPARE(form.geometry().center(), form.screen()->availableGeometry().center());
    QCOMPARE(rig.find<QPushButton>("Command1")->text(), QStringLiteral("Start/Stop (Spacebar)"));
    QCOMPARE(rig.find<QPushButton>("Command3")->text(), QStringLiteral("STOP"));
    QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
    QVERIFY(rig.find<QRadioButton>("Option3")->isChecked());
    QCOMPARE(rig.find<QLineEdit>("Text1")->text(), QStringLiteral("120"));
    QCOMPARE(rig.find<QSlider>("Slider1")->value(), 0);
    QCOMPARE(rig.find<QSlider>("Slider4")->value(), -800);
    QCOMPARE(rig.find<QLabel>("Label5")->text(), QStringLiteral("4"));
    QVERIFY(rig.litLamps().empty());
    // Controls lie in front of every drawn element; the outline over Label17 lets clicks through.
    const QObjectList children = form.children();
    const auto depth = [&](const char* name) { return children.indexOf(rig.find(name)); };
    for (const char* control : {"Frame1", "Frame3", "Slider1", "Slider4", "Command1"}) {
        QVERIFY2(depth(control) > depth("Label19") && depth(control) > depth("Shape8"), control);
    }
    const QWidget* label17 = rig.find("Label17");
    QCOMPARE(form.childAt(label17->geometry().center()), label17);
    // Tab visits each option group once, at its selected button, and skips the disabled STOP.
    QTRY_COMPARE(QApplication::focusWidget(), rig.find("Option1"));
    QStringList visited;
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, QStringList({"Text1", "Option3", "Slider1", "Slider2", "Slider3", "Slider4",
                                   "Command1", "Option1"}));
}

void Form1Test::litLampsShowTheirColours() {
    const auto colourAt = [this](int x, int y) {
        return m_rig->form.grab().toImage().pixelColor(x, y);
    };
    const QColor face = m_rig->form.palette().color(QPalette::Window);
    QCOMPARE(colourAt(52, 160), face);
    m_rig->form.setLampLit(1, true);
    QCOMPARE(colourAt(52, 160), QColor(128, 255, 128));
    m_rig->form.setLampLit(2, true);
    QCOMPARE(colourAt(212, 160), QColor(0, 255, 0));
    QCOMPARE(colourAt(220, 140), face); // the number box stays opaque over the lit lamp
}

// The space bar reaches the form first and the focused control never sees it; held down, it
// toggles on every repeat.
void Form1Test::spaceTogglesFromEveryFocusedControl() {
    Rig& rig = *m_rig;
    for (const char* name :
         {"Option1", "Text1", "Option3", "Slider1", "Slider2", "Slider3", "Slider4", "Command1"}) {
        QTest::keyClick(focusOn(name), Qt::Key_Space);
        QVERIFY2(rig.running() && rig.find("Command3")->isEnabled(), name);
        QCOMPARE(rig.timer.armed.size(), std::size_t{1});
        space();
        QVERIFY2(!rig.running() && rig.timer.armed.empty(), name);
    }
    for (int i = 0; i < 3; ++i) {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), i > 0);
        QApplication::sendEvent(focusOn("Slider2"), &key);
    }
    QVERIFY(rig.running());
    QCOMPARE(rig.find<QLineEdit>("Text1")->text(), QStringLiteral("120"));
    QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
    QCOMPARE(rig.find<QSlider>("Slider2")->value(), -800);
}

void Form1Test::runningLocksTheFramesButNotTheSliders() {
    Rig& rig = *m_rig;
    QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
    for (const char* locked : {"Frame1", "Frame2", "Frame3", "Option4", "Text1", "Command1"}) {
        QVERIFY2(!rig.find(locked)->isEnabled(), locked);
    }
    rig.sound.volumes.clear();
    QTest::keyClick(focusOn("Slider2"), Qt::Key_Right);
    QTest::keyClick(focusOn("Slider4"), Qt::Key_PageDown);
    QCOMPARE(rig.sound.volumes, (Volumes{{2, -799}, {4, -805}}));
    QTest::mouseClick(rig.find("Command3"), Qt::LeftButton);
    for (const char* unlocked : {"Frame1", "Frame2", "Frame3", "Command1"}) {
        QVERIFY2(rig.find(unlocked)->isEnabled(), unlocked);
    }
    QVERIFY(!rig.find("Command3")->isEnabled());
}

void Form1Test::enterPressesStartOrTheFocusedButtonAndEscStops() {
    Rig& rig = *m_rig;
    QTest::keyClick(focusOn("Slider1"), Qt::Key_Escape);
    QVERIFY(!rig.running());
    QTest::keyClick(focusOn("Text1"), Qt::Key_Return);
    QVERIFY(rig.running());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!rig.running());
    QTest::keyClick(focusOn("Option1"), Qt::Key_Enter);
    QVERIFY(rig.running());
    QTest::keyClick(focusOn("Command3"), Qt::Key_Return); // presses STOP, not Start
    QVERIFY(!rig.running());
    QCOMPARE(rig.timer.periods.size(), std::size_t{2});
}

void Form1Test::lampsFollowTheBeatsAndStaleStatesAreDropped() {
    Rig& rig = *m_rig;
    QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
    for (const int beat : {1, 2, 3, 4, 1}) {
        rig.timer.fire();
        QTRY_COMPARE(rig.litLamps(), std::vector<int>{beat});
    }
    const std::uint64_t endedRun = rig.transport.run();
    space();
    QVERIFY(rig.litLamps().empty());
    // A tick of the ended run that was still on its way never lights a lamp.
    rig.lamps.showBeat(endedRun, {false, false, true, false}, core::Clock::now());
    space();
    QTest::qWait(100);
    QVERIFY(rig.litLamps().empty());
    rig.timer.fire();
    QTRY_COMPARE(rig.litLamps(), std::vector<int>{1});
}

// A lamp lights when its click leaves the speakers, never before.
void Form1Test::lampWaitsUntilItsClickIsAudible() {
    m_rig->sound.latency = std::chrono::milliseconds(400);
    QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
    m_rig->timer.fire();
    QTest::qWait(100);
    QVERIFY(m_rig->litLamps().empty());
    QTRY_COMPARE(m_rig->litLamps(), std::vector<int>{1});
}

void Form1Test::threeFourHidesBeatFourAndMovesNothing() {
    Rig& rig = *m_rig;
    std::map<QString, std::pair<QRect, bool>> before;
    for (const QWidget* child : rig.form.findChildren<QWidget*>()) {
        before[child->objectName()] = {child->geometry(), child->isVisible()};
    }
    const QStringList beatFour{"Label5", "Shape5", "Slider4", "Label12", "Label16"};
    QTest::mouseClick(rig.find("Option4"), Qt::LeftButton);
    QVERIFY(!rig.transport.state().FourFour);
    QCOMPARE(rig.find<QLabel>("Label8")->text(), QStringLiteral("False"));
    for (const QWidget* child : rig.form.findChildren<QWidget*>()) {
        const auto& [geometry, visible] = before[child->objectName()];
        QCOMPARE(child->geometry(), geometry);
        QCOMPARE(child->isVisible(), visible && !beatFour.contains(child->objectName()));
    }
    QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
    for (const int beat : {1, 2, 3, 1}) {
        rig.timer.fire();
        QTRY_COMPARE(rig.litLamps(), std::vector<int>{beat});
    }
    space();
    QTest::mouseClick(rig.find("Option3"), Qt::LeftButton);
    QCOMPARE(rig.find<QLabel>("Label8")->text(), QStringLiteral("True"));
    for (const QWidget* child : rig.form.findChildren<QWidget*>()) {
        QCOMPARE(child->isVisible(), before[child->objectName()].second);
    }
}

void Form1Test::refusedTempoReturnsFocusWithTheTextSelected() {
    Rig& rig = *m_rig;
    auto* text1 = rig.find<QLineEdit>("Text1");
    text1->setText(QStringLiteral("401"));
    QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
    QVERIFY(!rig.running());
    QCOMPARE(QApplication::focusWidget(), text1);
    QCOMPARE(text1->selectedText(), QStringLiteral("401"));
    text1->deselect(); // refused again while the box has the focus: still all selected
    QTest::keyClick(text1, Qt::Key_Return);
    QCOMPARE(text1->selectedText(), QStringLiteral("401"));
    text1->setText(QStringLiteral("400"));
    QTest::keyClick(text1, Qt::Key_Return);
    QCOMPARE(rig.timer.periods, std::vector<std::int32_t>{150});
}

// Label6 keeps the period of the start-up load; the box takes digits only.
void Form1Test::leavingTheTempoBoxSetsThePeriodButNotLabel6() {
    Rig& rig = *m_rig;
    auto* text1 = rig.find<QLineEdit>("Text1");
    QTest::keyClick(focusOn("Option1"), Qt::Key_Tab);
    QCOMPARE(text1->selectedText(), QStringLiteral("120"));
    QTest::keyClicks(text1, QStringLiteral("6x-0"));
    QCOMPARE(text1->text(), QStringLiteral("60"));
    QTest::keyClick(text1, Qt::Key_Tab);
    QCOMPARE(rig.transport.state().PeriodMs, 1000);
    QCOMPARE(rig.find<QLabel>("Label6")->text(), QStringLiteral("500"));
    text1->clear(); // unusable text keeps the period it had
    focusOn("Text1");
    focusOn("Slider1");
    QCOMPARE(rig.transport.state().PeriodMs, 1000);
}

void Form1Test::slidersReportStepsAndTheEndOfADrag() {
    Rig& rig = *m_rig;
    rig.sound.volumes.clear();
    auto* slider = rig.find<QSlider>("Slider1");
    slider->setValue(-3000);
    slider->setSliderDown(true);
    slider->setValue(-2000);
    slider->setValue(-3100);
    slider->setSliderDown(false);
    QCOMPARE(rig.sound.volumes, (Volumes{{1, -3000}, {1, -3100}, {1, sound::kSilentLevel}}));
}

void Form1Test::reloadAppliesTheSlidersAndAFailedOneKeepsTheOldSound() {
    Rig& rig = *m_rig;
    rig.find<QSlider>("Slider3")->setValue(-3200);
    rig.sound.volumes.clear();
    QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
    QCOMPARE(rig.voices.loaded(), sound::VoiceSound::HiHat);
    QCOMPARE(rig.sound.volumes, (Volumes{{1, 0}, {2, -800}, {3, -3200}, {4, -800}}));
    QTest::keyClick(rig.find("Option2"), Qt::Key_Left); // arrow keys select too
    QCOMPARE(rig.voices.loaded(), sound::VoiceSound::Click);
    rig.voices.failing = sound::VoiceSound::HiHat;
    rig.sound.volumes.clear();
    BoxAnswerer answer;
    QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
    QVERIFY2(answer.text.contains(QStringLiteral("hat.wav")), qPrintable(answer.text));
    QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
    QCOMPARE(rig.voices.loaded(), sound::VoiceSound::Click);
    QVERIFY(rig.sound.volumes.empty() && rig.sound.hasVoice(1));
}

void Form1Test::homePageLabelOpensTheAddress() {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QTest::mouseClick(m_rig->find("Label17"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(catcher.opened,
             std::vector<QUrl>{QUrl(QStringLiteral(METRONOME_HOME_PAGE_FOR_TESTS))});
}

METRONOME_WINDOW_TEST_MAIN(Form1Test)
#include "Form1Test.moc"
