// Start-up and shut-down: the device check, the deferred voice load and its guard, the close
// order, and an error that ends the program.
#include "WindowRig.h"

#include <QLabel>
#include <QRadioButton>
#include <QSlider>

using namespace metro;
using namespace metro::window;
using namespace metro::window::test;

class Form1LifecycleTest : public QObject {
    Q_OBJECT

private slots:
    // Until the voices are in, Start, the options and the sliders do nothing; then the start-up
    // load sets the default levels, the period and the hidden captions.
    void inputBeforeTheStartUpLoadIsIgnored() {
        Rig rig;
        QVERIFY(rig.startUp(false));
        QTest::keyClick(rig.find("Option1"), Qt::Key_Space);
        QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
        QTest::keyClick(rig.find("Text1"), Qt::Key_Return);
        QTest::mouseClick(rig.find("Option2"), Qt::LeftButton);
        QTest::mouseClick(rig.find("Option4"), Qt::LeftButton);
        rig.find<QSlider>("Slider2")->setValue(-1200);
        QVERIFY(!rig.transport.ready()); // all of the above came before the start-up load
        QVERIFY(rig.periods.empty() && rig.volumes.empty());
        QVERIFY(rig.find<QRadioButton>("Option1")->isChecked());
        QVERIFY(rig.find<QRadioButton>("Option3")->isChecked());
        QTRY_VERIFY(rig.transport.ready());
        QCOMPARE(rig.log, (Log{"open device", "load click.wav"}));
        QCOMPARE(rig.volumes, (Volumes{{1, 0}, {2, -400}, {3, -400}, {4, -400}}));
        QCOMPARE(rig.transport.state().PeriodMs, 500);
        QVERIFY(rig.transport.state().FourFour && !rig.running());
        QCOMPARE(rig.find<QLabel>("Label6")->text(), "500");
        QCOMPARE(rig.find<QLabel>("Label8")->text(), "True");
        QTest::keyClick(rig.find("Option1"), Qt::Key_Space);
        QVERIFY(rig.running());
    }

    void deviceFailureShowsTheMessageAndNeverLoads() {
        Rig rig;
        rig.failOpen = true;
        BoxAnswerer answer;
        QVERIFY(!rig.form.Form_Load());
        QCOMPARE(answer.seen, "Qo Metronome|Unable to initialize DirectSound - sound card may "
                              "not be present");
        QCOMPARE(answer.icon, QMessageBox::NoIcon);
        QCOMPARE(answer.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QTest::qWait(300);
        QVERIFY(rig.log.empty() && !rig.transport.ready() && !rig.form.isVisible());
    }

    void closingStopsTheTicksBeforeReleasingVoicesAndDevice() {
        Rig rig;
        QVERIFY(rig.startUp());
        QTest::mouseClick(rig.find("Command1"), Qt::LeftButton);
        rig.fire();
        rig.log.clear();
        QVERIFY(rig.form.close());
        QCOMPARE(rig.log, (Log{"kill 1", "release voices", "close device"}));
        QCOMPARE(rig.filled, (std::array<bool, 5>{}));
        rig.log.clear();
        QVERIFY(rig.form.close());
        QVERIFY(rig.log.empty()); // closing runs once
    }

    // The start-up load is a handler like any other: its error is shown, naming the file, and
    // the event loop ends with the failure status.
    void errorInAHandlerIsShownAndEndsTheProgram() {
        Rig rig;
        rig.failing = sound::VoiceSound::Click;
        BoxAnswerer answer;
        QVERIFY(rig.startUp(false));
        QObject guard; // a program that never ends itself gives 99
        QTimer::singleShot(10000, &guard, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), MetronomeApplication::kFatalStatus);
        QVERIFY2(answer.seen.contains("click.wav"), qPrintable(answer.seen));
        QCOMPARE(answer.icon, QMessageBox::Critical);
        QVERIFY(!rig.transport.ready());
    }
};

METRONOME_WINDOW_TEST_MAIN(Form1LifecycleTest)
#include "Form1LifecycleTest.moc"
