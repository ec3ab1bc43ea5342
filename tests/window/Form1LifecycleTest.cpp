// Start-up and shut-down: the device check, the deferred voice load and its guard, the close
// order, and errors that end the program.
#include "WindowRig.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

using namespace metro;
using namespace metro::window;
using namespace metro::window::test;

namespace {
using Volumes = std::vector<std::pair<int, sound::Level>>;
const Volumes kDefaultLevels{{1, 0}, {2, -400}, {3, -400}, {4, -400}};

// Runs the event loop until the program ends itself; a program that never does gives 99.
int runUntilTheProgramEnds() {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(10000);
    return QApplication::exec();
}
} // namespace

class Form1LifecycleTest : public QObject {
    Q_OBJECT

private slots:
    void startUpLoadsClickDefaultLevelsAndPeriod();
    void inputBeforeTheStartUpLoadIsIgnored();
    void deviceFailureShowsTheMessageAndNeverLoads();
    void closingStopsTheTicksBeforeReleasingVoicesAndDevice();
    void missingClickFileEndsTheProgramNamingIt();
    void errorInAHandlerIsShownAndEndsTheProgram();
};

void Form1LifecycleTest::startUpLoadsClickDefaultLevelsAndPeriod() {
    Rig rig;
    QVERIFY(rig.startUp());
    QCOMPARE(rig.log, (Log{"open device", "load click.wav"}));
    QCOMPARE(rig.sound.volumes, kDefaultLevels);
    QCOMPARE(rig.transport.state().PeriodMs, 500);
    QVERIFY(rig.transport.state().FourFour);
    QVERIFY(!rig.running());
    QCOMPARE(rig.find<QLabel>("Label6")->text(), QStringLiteral("500"));
    QCOMPARE(rig.find<QLabel>("Label8")->text(), QStringLiteral("True"));
    QVERIFY(!rig.find("Label6")->isVisible());
    QVERIFY(!rig.find("Label8")->isVisible());
    QVERIFY(!rig.form.findChild<QTimer*>(QStringLiteral("Timer1"))->isActive());
}

// Until the voices are in, Start, the options and the sliders do nothing, and the window still
// shows what the start-up load will set.
void Form1LifecycleTest::inputBeforeTheStartUpLoadIsIgnored() {
    Rig rig;
    QVERIFY(rig.form.Form_Load());
    rig.form.show();
    QTest::keyClick(rig.find("Option1"), Qt::Key_Space);
    QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
    QTest::keyClick(rig.find("Text1"), Qt::Key_Return);
    QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
    QTest::mouseClick(rig.find("Option4"), Qt::LeftButton);
    rig.find<QSlider>("Slider2")->setValue(-1200);
    QVERIFY(!rig.transport.ready()); // all of the above came before the start-up load
    QVERIFY(rig.timer.periods.empty());
    QVERIFY(rig.sound.volumes.empty());
    QCOMPARE(rig.log, Log{"open device"});
    QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
    QVERIFY(rig.find<QRadioButton>("Option3")->isChecked());
    QVERIFY(rig.find("Slider4")->isVisible());
    QTRY_VERIFY(rig.transport.ready());
    QCOMPARE(rig.sound.volumes, kDefaultLevels);
    QVERIFY(rig.transport.state().FourFour);
    QTest::keyClick(rig.find("Option1"), Qt::Key_Space);
    QVERIFY(rig.running());
}

void Form1LifecycleTest::deviceFailureShowsTheMessageAndNeverLoads() {
    Rig rig;
    rig.sound.failOpen = true;
    BoxAnswerer answer;
    QVERIFY(!rig.form.Form_Load());
    QVERIFY(answer.seen);
    QCOMPARE(answer.text,
             QStringLiteral("Unable to initialize DirectSound - sound card may not be present"));
    QCOMPARE(answer.title, QStringLiteral("Qo Metronome"));
    QCOMPARE(answer.icon, QMessageBox::NoIcon);
    QCOMPARE(answer.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QTest::qWait(300);
    QVERIFY(rig.log.empty());
    QVERIFY(!rig.transport.ready());
    QVERIFY(!rig.form.isVisible());
}

void Form1LifecycleTest::closingStopsTheTicksBeforeReleasingVoicesAndDevice() {
    Rig rig;
    QVERIFY(rig.startUp());
    QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
    rig.timer.fire();
    rig.log.clear();
    QVERIFY(rig.form.close());
    QCOMPARE(rig.log, (Log{"kill 1", "release voices", "close device"}));
    QVERIFY(rig.timer.armed.empty());
    for (int slot = 0; slot < sound::SoundService::kSlotCount; ++slot) {
        QVERIFY(!rig.sound.hasVoice(slot));
    }
    rig.log.clear();
    QVERIFY(rig.form.close());
    QVERIFY(rig.log.empty()); // closing runs once
}

void Form1LifecycleTest::missingClickFileEndsTheProgramNamingIt() {
    Rig rig;
    rig.voices.failing = sound::VoiceSound::Click;
    BoxAnswerer answer;
    QVERIFY(rig.form.Form_Load());
    rig.form.show();
    QCOMPARE(runUntilTheProgramEnds(), MetronomeApplication::kFatalStatus);
    QVERIFY2(answer.text.contains(QStringLiteral("click.wav")), qPrintable(answer.text));
    QCOMPARE(answer.icon, QMessageBox::Critical);
    QVERIFY(!rig.transport.ready());
}

void Form1LifecycleTest::errorInAHandlerIsShownAndEndsTheProgram() {
    Rig rig;
    QVERIFY(rig.startUp());
    rig.sound.failVolume = true;
    BoxAnswerer answer;
    QTimer::singleShot(0, [&rig] { QTest::keyClick(rig.find("Slider1"), Qt::Key_Left); });
    QCOMPARE(runUntilTheProgramEnds(), MetronomeApplication::kFatalStatus);
    QVERIFY2(answer.text.contains(QStringLiteral("the mixer refused a level")),
             qPrintable(answer.text));
}

METRONOME_WINDOW_TEST_MAIN(Form1LifecycleTest)
#include "Form1LifecycleTest.moc"
