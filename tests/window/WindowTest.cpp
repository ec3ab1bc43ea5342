// The window offscreen, over the real voice bank, a fake sound service and a timer the test
// fires: first appearance, keys, transport states, lamps, options, sliders, the tempo box,
// start-up and shut-down, and voice files damaged while the program runs.
#include "Fakes.h"

#include "metro/core/Transport.h"
#include "metro/window/Form1.h"
#include "metro/window/LampRelay.h"
#include "metro/window/MetronomeApplication.h"
#include "metro/window/Shape.h"

#include <QtTest>
#include <QtWidgets>

#include <sndfile.h>

#include <fstream>

using namespace metro;
using namespace metro::window;
using namespace std::chrono_literals;
using testsupport::Log;
using Levels = std::vector<std::pair<int, sound::Level>>;
namespace fs = std::filesystem;

namespace {

/// A 10 ms voice file, mono 16-bit at 48 kHz.
void writeVoice(const fs::path& path) {
    SF_INFO info{0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    const std::vector<float> samples(480, 0.5F);
    QVERIFY(file != nullptr && sf_writef_float(file, samples.data(), 480) == 480);
    sf_close(file);
}

// The window over the voice bank reading click.wav and hat.wav from a folder of its own, and
// over fakes that share one log. The timer ticks only when the test fires it.
struct Rig {
    Rig() {
        writeVoice(folder / "click.wav");
        writeVoice(folder / "hat.wav");
    }
    /// Form_Load and show; with `wait`, also waits until the start-up load has run.
    bool startUp(bool wait = true) {
        if (!form.Form_Load()) {
            return false;
        }
        form.show();
        return QTest::qWaitForWindowExposed(&form) &&
               (!wait || QTest::qWaitFor([this] { return transport.ready(); }));
    }
    bool running() const { return transport.state().IsRunning; }
    std::vector<int> litLamps() const {
        std::vector<int> lit;
        for (int beat = 1; beat <= 4; ++beat) {
            if (find<Shape>(QString("Shape%1").arg(beat + 1))->lit()) {
                lit.push_back(beat);
            }
        }
        return lit;
    }
    template <typename W = QWidget> W* find(const QString& name) const {
        return form.findChild<W*>(name);
    }
    /// The file the voices were loaded from, or "" while slot 1 has none.
    std::string voiceFile() const {
        return sound.voices[1] ? fs::path(sound.voices[1]->name).filename().string() : "";
    }

    QTemporaryDir dir;
    fs::path folder = dir.path().toStdString();
    Log log;
    testsupport::FakeSound sound{&log};
    sound::VoiceBank bank{sound, folder};
    BankVoices voices{bank};
    testsupport::ManualTimer timer{&log};
    LampRelay lamps;
    core::Transport transport{timer, sound, lamps};
    Form1 form{transport, sound, voices, lamps};
};

// Answers the message box that opens next: keeps its title, text, icon and buttons, presses OK.
struct BoxAnswerer {
    BoxAnswerer() {
        QObject::connect(&poll, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->windowTitle() + '|' + box->text();
                icon = box->icon();
                buttons = box->standardButtons();
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start(10);
    }
    QString seen;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QTimer poll;
};

// The controls Tab visits in turn from the first option: one per option group, STOP skipped.
const std::array<const char*, 8> kTabOrder{"Option1", "Text1",   "Option3", "Slider1",
                                           "Slider2", "Slider3", "Slider4", "Command1"};

} // namespace

class Form1Test : public QObject {
    Q_OBJECT

    std::unique_ptr<Rig> rig;
    /// A rig in place of the started one, not started yet.
    void fresh() {
        rig.reset();
        rig = std::make_unique<Rig>();
    }
    QWidget* focusOn(const char* name) {
        rig->find(name)->setFocus(Qt::TabFocusReason);
        return rig->find(name);
    }
    void space() { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); }
    void click(const char* name) { QTest::mouseClick(rig->find(name), Qt::LeftButton); }
    void expectLamps(std::initializer_list<int> beats) {
        for (const int beat : beats) {
            rig->timer.fire();
            QTRY_COMPARE(rig->litLamps(), std::vector<int>{beat});
        }
    }

private slots:
    void init() {
        rig = std::make_unique<Rig>();
        QVERIFY(rig->startUp());
    }
    void cleanup() { rig.reset(); }

    // At the scale this runs at (QT_SCALE_FACTOR; CTest runs it at 1, 1.25, 1.5 and 2): every
    // caption fits the room its control's style leaves it, a lit lamp is drawn on the device's
    // pixels (an outline equally thick on every side, no blended colours), and the window icon
    // has its own drawing at this scale.
    void sharpAndUnclippedAtThisScale() {
        QStringList clipped;
        for (QWidget* control : rig->form.findChildren<QWidget*>()) {
            const bool captioned =
                control->inherits("QAbstractButton") || control->inherits("QLabel");
            const QString text = captioned ? control->property("text").toString() : QString();
            QStyleOptionButton option; // an option's text has the room beside its indicator
            option.initFrom(control);
            const QRect room = qobject_cast<QRadioButton*>(control)
                                   ? control->style()->subElementRect(
                                         QStyle::SE_RadioButtonContents, &option, control)
                                   : control->contentsRect();
            const QSizeF need = QFontMetricsF(control->font(), control).size(0, text);
            if (control->isVisible() && !text.isEmpty() &&
                (need.width() > room.width() || need.height() > room.height())) {
                clipped << text + QStringLiteral(" %1/%2").arg(need.width()).arg(room.width());
            }
        }
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QStringLiteral("; "))));

        auto* lamp = rig->find<Shape>("Shape2");
        lamp->setLit(true);
        const QImage image = lamp->grab().toImage();
        const auto band = [&](QPoint at, QPoint step) {
            int width = 0;
            while (image.pixelColor(at + width * step) == lamp->outlineColour()) {
                ++width;
            }
            return width;
        };
        const QPoint end(image.width() - 1, image.height() - 1);
        const int side = band({0, end.y() / 2}, {1, 0});
        QVERIFY(side > 0 && band({end.x(), end.y() / 2}, {-1, 0}) == side &&
                band({end.x() / 2, 0}, {0, 1}) == side &&
                band({end.x() / 2, end.y()}, {0, -1}) == side);
        const auto* pixels = reinterpret_cast<const QRgb*>(image.constBits());
        QCOMPARE(QSet<QRgb>(pixels, pixels + image.sizeInBytes() / 4).size(), 2);
        const qreal ratio = rig->form.devicePixelRatioF(); // the icon at 16 and 32 px, scaled
        const QList<QSize> icons = rig->form.windowIcon().availableSizes();
        QVERIFY(icons.contains(QSize(16, 16) * ratio) && icons.contains(QSize(32, 32) * ratio));
    }

    void firstAppearance() {
        QCOMPARE(rig->form.minimumSize(), rig->form.maximumSize());
        QVERIFY(!(rig->form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QCOMPARE(rig->form.geometry().center(), rig->form.screen()->availableGeometry().center());
        QVERIFY(rig->litLamps().empty() && !rig->find("Command3")->isEnabled());
        // Tab visits each option group once, at its selected button, and comes back round.
        QTRY_COMPARE(QApplication::focusWidget(), rig->find("Option1"));
        for (std::size_t i = 1; i <= kTabOrder.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), kTabOrder.at(i % kTabOrder.size()));
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right); // arrows choose in a group
        QCOMPARE(rig->voiceFile(), "hat.wav");
    }

    // Space, Enter and Esc reach the form before the focused control: space toggles, Enter
    // presses the focused button or else Start, Esc presses STOP. Held, space toggles on repeats.
    void keysActFromEveryFocusedControl() {
        for (const char* name : kTabOrder) {
            QTest::keyClick(focusOn(name), Qt::Key_Space);
            QVERIFY2(rig->running() && rig->find("Command3")->isEnabled(), name);
            space();
            QVERIFY2(!rig->running() && rig->timer.armed.empty(), name);
            QTest::keyClick(focusOn(name), Qt::Key_Return);
            QVERIFY2(rig->running(), name);
            QTest::keyClick(&rig->form, Qt::Key_Escape);
            QVERIFY2(!rig->running(), name);
        }
        QTest::keyClick(focusOn("Slider1"), Qt::Key_Escape); // nothing to stop
        QTest::keyClick(focusOn("Option1"), Qt::Key_Enter);
        QTest::keyClick(focusOn("Command3"), Qt::Key_Return); // presses STOP, not Start
        QVERIFY(!rig->running());
        for (int i = 0; i < 3; ++i) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ", i > 0);
            QApplication::sendEvent(focusOn("Slider2"), &key);
        }
        QVERIFY(rig->running());
        QCOMPARE(rig->timer.periods.size(), std::size_t{19});
    }

    // A slider step reaches the sound at once, a drag once where it ends, and a level below
    // -3000 mutes its slot.
    void runningLocksTheFramesButNotTheSliders() {
        click("Command1");
        for (const char* locked : {"Frame1", "Frame2", "Frame3", "Option4", "Text1", "Command1"}) {
            QVERIFY2(!rig->find(locked)->isEnabled(), locked);
        }
        rig->sound.levels.clear();
        QTest::keyClick(focusOn("Slider2"), Qt::Key_Right);
        QTest::keyClick(focusOn("Slider4"), Qt::Key_PageDown);
        auto* slider = rig->find<QSlider>("Slider1");
        slider->setSliderDown(true);
        slider->setValue(-2000);
        slider->setValue(-3100);
        slider->setSliderDown(false);
        QCOMPARE(rig->sound.levels,
                 (Levels{{2, -799}, {4, -805}, {1, -3100}, {1, sound::kSilentLevel}}));
        click("Command3");
        for (const char* unlocked : {"Frame1", "Frame2", "Frame3", "Command1"}) {
            QVERIFY2(rig->find(unlocked)->isEnabled(), unlocked);
        }
    }

    // A lamp lights when its click leaves the speakers, never before, and never for a run that
    // has ended. While the device is lost the lamps keep the beat and the caption says so.
    void lampsFollowTheAudibleBeatsAndStaleStatesAreDropped() {
        rig->sound.available = false; // while stopped: seen at Start, not looked for before
        QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
        QCOMPARE(rig->form.windowTitle(), QStringLiteral("Qo Metronome (v 1.00a) - no sound"));
        expectLamps({1, 2, 3, 4, 1});
        rig->sound.available = true;
        QTRY_COMPARE(rig->form.windowTitle(), QStringLiteral("Qo Metronome (v 1.00a)"));
        const std::uint64_t endedRun = rig->transport.run();
        space();
        QVERIFY(rig->litLamps().empty());
        rig->lamps.showBeat(endedRun, {false, false, true, false}, core::Clock::now());
        space();
        QTest::qWait(100);
        QVERIFY(rig->litLamps().empty());
        space();
        rig->sound.latency = 400ms;
        space();
        rig->timer.fire();
        QTest::qWait(150);
        QVERIFY(rig->litLamps().empty());
        QTRY_COMPARE(rig->litLamps(), std::vector<int>{1});
    }

    void threeFourHidesBeatFourAndMovesNothing() {
        std::map<QString, std::pair<QRect, bool>> before;
        for (const QWidget* child : rig->form.findChildren<QWidget*>()) {
            before[child->objectName()] = {child->geometry(), child->isVisible()};
        }
        const QStringList beatFour{"Label5", "Shape5", "Slider4", "Label12", "Label16"};
        click("Option4");
        QCOMPARE(rig->find<QLabel>("Label8")->text(), "False");
        for (const QWidget* child : rig->form.findChildren<QWidget*>()) {
            const auto& [geometry, visible] = before[child->objectName()];
            QCOMPARE(child->geometry(), geometry);
            QCOMPARE(child->isVisible(), visible && !beatFour.contains(child->objectName()));
        }
        QTest::keyClick(focusOn("Command1"), Qt::Key_Space);
        expectLamps({1, 2, 3, 1});
        space();
        click("Option3");
        QCOMPARE(rig->find<QLabel>("Label8")->text(), "True");
        QVERIFY(rig->find("Slider4")->isVisible() && rig->find("Label5")->isVisible());
    }

    // Whatever is pasted, the box keeps digits only (or refuses the paste whole). Leaving it
    // takes a period from a usable number only, and leaves Label6 as the start-up load set it;
    // Start runs only for 1..400, else it gives the box the focus with its text selected.
    void pastedTempoText_data() {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<QString>("text");        // the box after the paste
        QTest::addColumn<int>("periodOnLeaving"); // PeriodMs after the focus leaves the box
        QTest::addColumn<int>("startPeriod");     // the armed period, 0 when Start refuses
        for (const char* refused : {"60abc", "-60", "6 0", "60.5", "\u0666\u0660"}) {
            QTest::newRow(refused) << refused << "120" << 500 << 500;
        }
        const std::tuple<const char*, int, int> kept[] = {
            {"123456789012345678901234567890", 500, 0},
            {"", 500, 0},
            {"0", 500, 0},
            {"1000000", 500, 0},
            {"401", 150, 0},
            {"00060", 1000, 1000}};
        for (const auto& [clip, periodOnLeaving, startPeriod] : kept) {
            QTest::newRow(*clip != 0 ? clip : "empty")
                << clip << clip << periodOnLeaving << startPeriod;
        }
    }
    void pastedTempoText() {
        QFETCH(QString, clip);
        QFETCH(QString, text);
        QFETCH(int, periodOnLeaving);
        QFETCH(int, startPeriod);
        auto* text1 = rig->find<QLineEdit>("Text1");
        focusOn("Text1"); // selects "120", so the paste replaces it
        QGuiApplication::clipboard()->setText(clip);
        QTest::keyClick(text1, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(text1->text(), text);
        QTest::keyClick(text1, Qt::Key_Tab);
        QCOMPARE(rig->transport.state().PeriodMs, periodOnLeaving);
        QCOMPARE(rig->find<QLabel>("Label6")->text(), "500");
        click("Command1");
        if (startPeriod != 0) {
            QVERIFY(rig->running());
            QCOMPARE(rig->timer.periods, std::vector<std::int32_t>{startPeriod});
            return;
        }
        QVERIFY(!rig->running() && rig->timer.periods.empty());
        QCOMPARE(QApplication::focusWidget(), text1);
        QCOMPARE(text1->selectedText(), text);
        text1->deselect(); // refused again while the box has the focus: selected again
        QTest::keyClick(text1, Qt::Key_Return);
        QCOMPARE(text1->selectedText(), text);
    }

    // With no browser to be had, a click on the home-page label, through the outline over it,
    // reaches the opener, whose complaint is logged, and shows nothing.
    void homePageWithoutABrowserShowsNothing() {
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        qunsetenv("BROWSER");
        static int messages = 0;
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString&) { ++messages; });
        const QWidget* label17 = rig->find("Label17");
        QTest::mouseClick(rig->form.childAt(label17->geometry().center()), Qt::LeftButton);
        QTest::qWait(200);
        qInstallMessageHandler(previous);
        qputenv("PATH", path);
        QVERIFY(messages >= 1 && QApplication::activeModalWidget() == nullptr);
    }

    // Until the voices are in, Start, the options and the sliders do nothing; then the start-up
    // load sets the default levels and the hidden caption. Closing stops the ticks before it
    // releases the voices and the device, and runs once.
    void inputBeforeTheStartUpLoadIsIgnoredAndClosingUndoesItInOrder() {
        fresh();
        QVERIFY(rig->startUp(false));
        QTest::keyClick(rig->find("Option1"), Qt::Key_Space);
        click("Command1");
        QTest::keyClick(rig->find("Text1"), Qt::Key_Return);
        click("Option2");
        click("Option4");
        rig->find<QSlider>("Slider2")->setValue(-1200);
        QVERIFY(!rig->transport.ready()); // all of the above came before the start-up load
        QVERIFY(rig->timer.periods.empty() && rig->sound.levels.empty());
        QVERIFY(rig->find<QRadioButton>("Option1")->isChecked() &&
                rig->find<QRadioButton>("Option3")->isChecked());
        QTRY_VERIFY(rig->transport.ready());
        QCOMPARE(rig->log,
                 (Log{"open device", "r0", "r1", "r2", "r3", "r4", "c1", "c2", "c3", "c4"}));
        QCOMPARE(rig->voiceFile(), "click.wav");
        QVERIFY(rig->sound.voices[1] == rig->sound.voices[4]); // one decoded copy for all slots
        QCOMPARE(rig->sound.levels, (Levels{{1, 0}, {2, -400}, {3, -400}, {4, -400}}));
        QVERIFY(rig->transport.state().FourFour && !rig->running());
        QCOMPARE(rig->find<QLabel>("Label8")->text(), "True");
        QTest::keyClick(rig->find("Option1"), Qt::Key_Space);
        QVERIFY(rig->running());
        rig->timer.fire();
        rig->log.clear();
        QVERIFY(rig->form.close());
        QCOMPARE(rig->log, (Log{"kill 1", "r0", "r1", "r2", "r3", "r4", "close device"}));
        rig->log.clear();
        QVERIFY(rig->form.close());
        QVERIFY(rig->log.empty()); // closing runs once
    }

    // A sound device that cannot be opened is reported before anything loads or shows. The
    // start-up load is a handler like any other: its error is shown, naming the file, and the
    // event loop ends with the failure status.
    void startUpFailuresAreShownAndEndTheProgram() {
        fresh();
        rig->sound.failOpen = true;
        BoxAnswerer answer;
        QVERIFY(!rig->form.Form_Load());
        QCOMPARE(answer.seen, "Qo Metronome|Unable to initialize DirectSound - sound card may "
                              "not be present");
        QCOMPARE(answer.icon, QMessageBox::NoIcon);
        QCOMPARE(answer.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QTest::qWait(300);
        QVERIFY(rig->log.empty() && !rig->transport.ready() && !rig->form.isVisible());
        fresh();
        std::ofstream(rig->folder / "click.wav") << "damaged";
        QVERIFY(rig->startUp(false));
        QObject guard; // a program that never ends itself gives 99
        QTimer::singleShot(10000, &guard, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), MetronomeApplication::kFatalStatus);
        QVERIFY2(answer.seen.contains("click.wav"), qPrintable(answer.seen));
        QCOMPARE(answer.icon, QMessageBox::Critical);
        QVERIFY(!rig->transport.ready());
    }

    // The hi-hat file is damaged while the clicks play; choosing it then shows the file's name,
    // puts the option back and keeps the clicks and their levels, which play on after the next
    // Start; mended, it loads and each slot gets its slider's level. (Every fault of a file is
    // refused alike: the decoder's test goes through them, missing files, folders and pipes
    // among them.)
    void damagedVoiceFileLeavesTheOldVoicesPlaying() {
        const fs::path hat = rig->folder / "hat.wav";
        rig->find<QSlider>("Slider3")->setValue(-3200);
        for (const bool mended : {false, true}) {
            if (mended) {
                writeVoice(hat);
            } else {
                std::ofstream(hat) << "not a sound";
            }
            BoxAnswerer answer;
            rig->sound.levels.clear();
            click("Option2");
            QVERIFY(mended || answer.seen.contains(QString::fromStdString(hat.string())));
            QCOMPARE(rig->find<QRadioButton>("Option2")->isChecked(), mended);
            QCOMPARE(rig->voiceFile(), mended ? "hat.wav" : "click.wav");
            QCOMPARE(rig->sound.levels,
                     (mended ? Levels{{1, 0}, {2, -800}, {3, -3200}, {4, -800}} : Levels{}));
            const int plays = rig->sound.plays;
            click("Command1");
            rig->timer.fire();
            QVERIFY(rig->sound.plays == plays + 1 && rig->sound.hasVoice(1));
            click("Command3");
        }
    }
};

int main(int argc, char** argv) {
    MetronomeApplication app(argc, argv);
    Form1Test test;
    return QTest::qExec(&test, argc, argv);
}

#include "WindowTest.moc"
