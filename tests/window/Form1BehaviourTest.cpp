// The window at work: the keys, the transport's states, the lamps, the options, the sliders
// and the tempo box.
#include "WindowRig.h"

#include "metro/window/Shape.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

using namespace metro;
using namespace metro::window;
using namespace metro::window::test;

class Form1BehaviourTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_rig = std::make_unique<Rig>();
        QVERIFY(m_rig->startUp());
    }
    void cleanup() { m_rig.reset(); }

    void spaceTogglesFromEveryFocusedControl_data();
    void spaceTogglesFromEveryFocusedControl();
    void heldSpaceTogglesOnEveryRepeat();
    void runningLocksTheFramesButNotTheSliders();
    void enterPressesStartOrTheFocusedButtonAndEscStops();
    void lampsFollowTheBeatsAndStaleStatesAreDropped();
    void lampWaitsUntilItsClickIsAudible();
    void threeFourLeavesAGapAndFourFourFillsIt();
    void refusedTempoReturnsFocusWithTheTextSelected();
    void leavingTheTempoBoxSetsThePeriodButNotLabel6();
    void tempoBoxTakesDigitsOnly();
    void slidersSetLevelsWithTheMuteZone();
    void soundOptionsReloadAndApplySliderPositions();
    void failedReloadKeepsTheOldSoundAndSaysWhichFile();
    void homePageLabelOpensTheAddress();

private:
    QWidget* focusOn(const char* name) {
        QWidget* widget = m_rig->find(name);
        widget->setFocus(Qt::TabFocusReason);
        return widget;
    }
    void space() {
        QWidget* focused = QApplication::focusWidget();
        QTest::keyClick(focused != nullptr ? focused : &m_rig->form, Qt::Key_Space);
    }
    std::unique_ptr<Rig> m_rig;
};

void Form1BehaviourTest::spaceTogglesFromEveryFocusedControl_data() {
    QTest::addColumn<int>("unused");
    for (const char* name :
         {"Option1", "Text1", "Option3", "Slider1", "Slider2", "Slider3", "Slider4", "Command1"}) {
        QTest::newRow(name) << 0;
    }
}

// The space bar reaches the form first and the focused control never sees it.
void Form1BehaviourTest::spaceTogglesFromEveryFocusedControl() {
    Rig& rig = *m_rig;
    QWidget* focused = focusOn(QTest::currentDataTag());
    QCOMPARE(QApplication::focusWidget(), focused);
    QTest::keyClick(focused, Qt::Key_Space);
    QVERIFY(rig.running());
    QVERIFY(rig.find("Command3")->isEnabled());
    QCOMPARE(rig.timer.armed.size(), std::size_t{1});
    space();
    QVERIFY(!rig.running());
    QVERIFY(rig.timer.armed.empty());
    QCOMPARE(rig.find<QLineEdit>("Text1")->text(), QStringLiteral("120"));
    QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
    QCOMPARE(rig.find<QSlider>("Slider1")->value(), 0);
    QCOMPARE(rig.find<QSlider>("Slider2")->value(), -800);
}

void Form1BehaviourTest::heldSpaceTogglesOnEveryRepeat() {
    QWidget* focused = focusOn("Slider2");
    for (int i = 0; i < 3; ++i) {
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "),
                         i > 0);
        QApplication::sendEvent(QApplication::focusWidget(), &repeat);
    }
    QVERIFY(m_rig->running());
    QCOMPARE(m_rig->timer.periods.size(), std::size_t{2});
    QCOMPARE(qobject_cast<QSlider*>(focused)->value(), -800);
}

void Form1BehaviourTest::runningLocksTheFramesButNotTheSliders() {
    Rig& rig = *m_rig;
    QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
    QVERIFY(rig.running());
    QCOMPARE(rig.find<QLabel>("Label6")->text(), QStringLiteral("500"));
    for (const char* locked :
         {"Frame1", "Frame2", "Frame3", "Option2", "Text1", "Option4", "Command1"}) {
        QVERIFY2(!rig.find(locked)->isEnabled(), locked);
    }
    QTest::mouseClick(rig.find("Option4"), Qt::LeftButton);
    QVERIFY(rig.find<QRadioButton>("Option3")->isChecked());
    rig.sound.volumes.clear();
    QTest::keyClick(focusOn("Slider2"), Qt::Key_Right);
    QTest::keyClick(focusOn("Slider4"), Qt::Key_PageDown);
    using Volumes = std::vector<std::pair<int, sound::Level>>;
    QCOMPARE(rig.sound.volumes, (Volumes{{2, -799}, {4, -805}}));
    QTest::mouseClick(rig.find("Command3"), Qt::LeftButton);
    for (const char* unlocked : {"Frame1", "Frame2", "Frame3", "Command1"}) {
        QVERIFY2(rig.find(unlocked)->isEnabled(), unlocked);
    }
    QVERIFY(!rig.find("Command3")->isEnabled());
}

void Form1BehaviourTest::enterPressesStartOrTheFocusedButtonAndEscStops() {
    Rig& rig = *m_rig;
    QTest::keyClick(focusOn("Slider1"), Qt::Key_Escape);
    QVERIFY(!rig.running());
    QCOMPARE(std::count(rig.log.begin(), rig.log.end(), "kill 0"), 0);
    QTest::keyClick(focusOn("Text1"), Qt::Key_Return);
    QVERIFY(rig.running());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(!rig.running());
    QTest::keyClick(focusOn("Option1"), Qt::Key_Enter);
    QVERIFY(rig.running());
    // Enter on the focused STOP button presses it, not Start.
    QTest::keyClick(focusOn("Command3"), Qt::Key_Return);
    QVERIFY(!rig.running());
    QCOMPARE(rig.timer.periods.size(), std::size_t{2});
}

void Form1BehaviourTest::lampsFollowTheBeatsAndStaleStatesAreDropped() {
    Rig& rig = *m_rig;
    space();
    for (const int beat : {1, 2, 3, 4, 1}) {
        rig.timer.fire();
        QTRY_COMPARE(rig.litLamps(), std::vector<int>{beat});
    }
    const std::uint64_t endedRun = rig.transport.run();
    space();
    QVERIFY(rig.litLamps().empty());
    // A tick of the ended run that was still on its way never lights a lamp.
    rig.lamps.showBeat(endedRun, {true, false, false, false}, core::Clock::now());
    space();
    rig.timer.fire();
    QTRY_COMPARE(rig.litLamps(), std::vector<int>{1});
    rig.timer.fire();
    QTRY_COMPARE(rig.litLamps(), std::vector<int>{2});
}

// Lighting waits for the output latency; nothing but load can delay it, never make it early.
void Form1BehaviourTest::lampWaitsUntilItsClickIsAudible() {
    Rig& rig = *m_rig;
    rig.sound.latency = std::chrono::milliseconds(400);
    space();
    rig.timer.fire();
    QTest::qWait(100);
    QVERIFY(rig.litLamps().empty());
    QTRY_COMPARE(rig.litLamps(), std::vector<int>{1});
}

void Form1BehaviourTest::threeFourLeavesAGapAndFourFourFillsIt() {
    Rig& rig = *m_rig;
    std::map<QString, QRect> before;
    for (const QWidget* child : rig.form.findChildren<QWidget*>()) {
        before[child->objectName()] = child->geometry();
    }
    QTest::mouseClick(rig.find("Option4"), Qt::LeftButton);
    QVERIFY(!rig.transport.state().FourFour);
    QCOMPARE(rig.find<QLabel>("Label8")->text(), QStringLiteral("False"));
    const QStringList beatFour{"Label5", "Shape5", "Slider4", "Label12", "Label16"};
    for (const QString& name : beatFour) {
        QVERIFY2(!rig.form.findChild<QWidget*>(name)->isVisible(), qPrintable(name));
    }
    for (const QWidget* child : rig.form.findChildren<QWidget*>()) {
        QCOMPARE(child->geometry(), before[child->objectName()]);
    }
    QVERIFY(rig.find("Label4")->isVisible());
    space();
    for (const int beat : {1, 2, 3, 1}) {
        rig.timer.fire();
        QTRY_COMPARE(rig.litLamps(), std::vector<int>{beat});
    }
    space();
    QTest::mouseClick(rig.find("Option3"), Qt::LeftButton);
    QVERIFY(rig.transport.state().FourFour);
    QCOMPARE(rig.find<QLabel>("Label8")->text(), QStringLiteral("True"));
    for (const QString& name : beatFour) {
        QVERIFY2(rig.form.findChild<QWidget*>(name)->isVisible(), qPrintable(name));
    }
    QVERIFY(!rig.find("Label8")->isVisible());
}

void Form1BehaviourTest::refusedTempoReturnsFocusWithTheTextSelected() {
    Rig& rig = *m_rig;
    auto* text1 = rig.find<QLineEdit>("Text1");
    text1->setText(QStringLiteral("401"));
    focusOn("Command1");
    space();
    QVERIFY(!rig.running());
    QVERIFY(rig.timer.periods.empty());
    QCOMPARE(QApplication::focusWidget(), text1);
    QCOMPARE(text1->selectedText(), QStringLiteral("401"));
    // Refused again while the box already has the focus: still all selected.
    text1->deselect();
    QTest::keyClick(text1, Qt::Key_Return);
    QCOMPARE(text1->selectedText(), QStringLiteral("401"));
    text1->setText(QStringLiteral("400"));
    QTest::keyClick(text1, Qt::Key_Return);
    QVERIFY(rig.running());
    QCOMPARE(rig.timer.periods, std::vector<std::int32_t>{150});
}

void Form1BehaviourTest::leavingTheTempoBoxSetsThePeriodButNotLabel6() {
    Rig& rig = *m_rig;
    auto* text1 = rig.find<QLineEdit>("Text1");
    focusOn("Option1");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(text1->selectedText(), QStringLiteral("120"));
    QTest::keyClicks(text1, QStringLiteral("60"));
    QTest::keyClick(text1, Qt::Key_Tab);
    QCOMPARE(rig.transport.state().PeriodMs, 1000);
    QCOMPARE(rig.find<QLabel>("Label6")->text(), QStringLiteral("500"));
    // Unusable text keeps the period it had.
    text1->clear();
    focusOn("Text1");
    QVERIFY(text1->selectedText().isEmpty());
    focusOn("Slider1");
    QCOMPARE(rig.transport.state().PeriodMs, 1000);
    QVERIFY(!rig.find("Label6")->isVisible());
}

void Form1BehaviourTest::tempoBoxTakesDigitsOnly() {
    auto* text1 = m_rig->find<QLineEdit>("Text1");
    focusOn("Text1");
    QTest::keyClicks(text1, QStringLiteral("9a-5"));
    QCOMPARE(text1->text(), QStringLiteral("95"));
    QApplication::clipboard()->setText(QStringLiteral("1x0"));
    text1->selectAll();
    text1->paste();
    QCOMPARE(text1->text(), QStringLiteral("95"));
    QApplication::clipboard()->setText(QStringLiteral("72"));
    text1->selectAll();
    text1->paste();
    QCOMPARE(text1->text(), QStringLiteral("72"));
}

void Form1BehaviourTest::slidersSetLevelsWithTheMuteZone() {
    Rig& rig = *m_rig;
    rig.sound.volumes.clear();
    auto* slider = rig.find<QSlider>("Slider1");
    slider->setValue(-3000);
    slider->setValue(-3001);
    // A drag reports once, where it ends.
    slider->setSliderDown(true);
    slider->setValue(-2000);
    slider->setValue(-100);
    slider->setSliderDown(false);
    using Volumes = std::vector<std::pair<int, sound::Level>>;
    QCOMPARE(rig.sound.volumes,
             (Volumes{{1, -3000}, {1, -3001}, {1, sound::kSilentLevel}, {1, -100}}));
}

void Form1BehaviourTest::soundOptionsReloadAndApplySliderPositions() {
    Rig& rig = *m_rig;
    rig.find<QSlider>("Slider3")->setValue(-3200);
    rig.sound.volumes.clear();
    QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
    QCOMPARE(rig.voices.loaded(), sound::VoiceSound::HiHat);
    QCOMPARE(rig.log.back(), std::string("load hat.wav"));
    using Volumes = std::vector<std::pair<int, sound::Level>>;
    QCOMPARE(rig.sound.volumes, (Volumes{{1, 0}, {2, -800}, {3, -3200}, {4, -800}}));
    rig.sound.volumes.clear();
    QTest::mouseClick(rig.find("Option2"), Qt::LeftButton); // already selected: no reload
    QVERIFY(rig.sound.volumes.empty());
    QTest::keyClick(rig.find("Option2"), Qt::Key_Left); // arrow keys select too
    QCOMPARE(rig.voices.loaded(), sound::VoiceSound::Click);
    QCOMPARE(rig.sound.volumes.size(), std::size_t{4});
}

void Form1BehaviourTest::failedReloadKeepsTheOldSoundAndSaysWhichFile() {
    Rig& rig = *m_rig;
    rig.voices.failing = sound::VoiceSound::HiHat;
    rig.sound.volumes.clear();
    BoxAnswerer answer;
    QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
    QVERIFY(answer.seen);
    QVERIFY2(answer.text.contains(QStringLiteral("hat.wav")), qPrintable(answer.text));
    QCOMPARE(answer.title, QStringLiteral("Qo Metronome"));
    QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
    QVERIFY(!rig.find<QRadioButton>("Option2")->isChecked());
    QCOMPARE(rig.voices.loaded(), sound::VoiceSound::Click);
    QVERIFY(rig.sound.volumes.empty());
    space();
    rig.timer.fire();
    QCOMPARE(rig.sound.cues.size(), std::size_t{1});
    QVERIFY(rig.sound.hasVoice(1));
}

void Form1BehaviourTest::homePageLabelOpensTheAddress() {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QTest::mouseClick(m_rig->find("Label17"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(catcher.opened.size(), std::size_t{1});
    QCOMPARE(catcher.opened.front(), QUrl(QStringLiteral(METRONOME_HOME_PAGE_FOR_TESTS)));
}

METRONOME_WINDOW_TEST_MAIN(Form1BehaviourTest)
#include "Form1BehaviourTest.moc"
