// Voice files damaged while the program runs: the real voice bank and sound service, mixing into
// memory, behind the window. A beat is struck by hand and its sound read from the recording.
#include "WindowRig.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/OfflineOutput.h"

#include <QDataStream>
#include <QFile>
#include <QRadioButton>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

using namespace metro;
using namespace metro::window;
using namespace metro::window::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

/// 10 ms of one constant level, mono 16-bit at 48 kHz: the sign tells the two voices apart.
void writeVoice(const fs::path& path, double level) {
    constexpr quint32 kFrames = 480;
    QFile file(QString::fromStdString(path.string()));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + 2 * kFrames);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(48000) << quint32(96000) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << quint32(2 * kFrames);
    for (quint32 i = 0; i < kFrames; ++i) {
        out << static_cast<qint16>(level * 32767);
    }
}

struct ManualTimer final : core::TimerService {
    std::int32_t setEvent(std::int32_t, core::TimerProc proc) override {
        armed = std::move(proc);
        return ++events;
    }
    void killEvent(std::int32_t) override { armed = nullptr; }
    core::TimerProc armed;
    std::int32_t events = 0;
    std::int64_t calls = 0;
};

// The program's parts over the voice files in `folder`, with simulated audio time.
struct VoiceRig {
    explicit VoiceRig(const fs::path& folder) : bank(sound, folder) {}

    /// Strikes the next beat now and renders 150 ms; gives the lowest and highest sample. Beat
    /// 1 plays at full level, the others 4 dB down.
    std::pair<float, float> beat() {
        timer.armed(core::TimerCall{timer.events, ++timer.calls, now});
        const std::size_t from = output->recording().size();
        for (int i = 0; i < 15; ++i, now += 10ms) {
            output->pull(now);
        }
        const auto [low, high] =
            std::minmax_element(output->recording().begin() + static_cast<std::ptrdiff_t>(from),
                                output->recording().end());
        return {*low, *high};
    }
    void click(const char* name) {
        QTest::mouseClick(form.findChild<QWidget*>(name), Qt::LeftButton);
    }

    sound::OfflineOutput* output = new sound::OfflineOutput;
    sound::EngineSoundService sound{std::unique_ptr<sound::AudioOutput>(output)};
    sound::VoiceBank bank;
    BankVoices voices{bank};
    ManualTimer timer;
    LampRelay lamps;
    core::Transport transport{timer, sound, lamps};
    Form1 form{transport, sound, voices, lamps};
    core::TimePoint now = core::Clock::now();
};

struct Damage {
    const char* name;
    void (*make)(const fs::path&);
};

// Root reads a file whatever its mode bits, so "unreadable" is a folder or a pipe in its place.
const Damage kDamages[] = {
    {"garbage",
     [](const fs::path& p) {
         QFile f(QString::fromStdString(p.string()));
         QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write("not a sound") > 0);
     }},
    {"truncated",
     [](const fs::path& p) {
         writeVoice(p, -0.25);
         fs::resize_file(p, 30);
     }},
    {"deleted", [](const fs::path& p) { fs::remove(p); }},
    {"folder", [](const fs::path& p) { fs::create_directory(p); }},
    {"pipe", [](const fs::path& p) { QVERIFY(mkfifo(p.c_str(), 0600) == 0); }},
};

} // namespace

class VoiceFileFaultTest : public QObject {
    Q_OBJECT

private slots:
    // The hi-hat file is damaged while the clicks play; choosing it then shows the file's
    // name, puts the option back and keeps the clicks, which play on after the next Start.
    void damagedFileLeavesTheOldVoicesPlaying() {
        const QTemporaryDir dir;
        const fs::path folder = dir.path().toStdString();
        const fs::path hat = folder / "hat.wav";
        writeVoice(folder / "click.wav", 0.5);
        writeVoice(hat, -0.25);
        VoiceRig rig(folder);
        QVERIFY(rig.form.Form_Load());
        rig.form.show();
        QVERIFY(QTest::qWaitFor([&] { return rig.transport.ready(); }));
        auto* hiHat = rig.form.findChild<QRadioButton*>("Option2");
        rig.click("Command1");
        for (const Damage& damage : kDamages) {
            fs::remove_all(hat);
            damage.make(hat);
            auto [low, high] = rig.beat();
            QVERIFY2(low >= 0.0F && high > 0.3F, damage.name);
            rig.click("Command3");
            BoxAnswerer answer;
            rig.click("Option2");
            QVERIFY2(answer.seen.contains(QString::fromStdString(hat.string())),
                     qPrintable(answer.seen));
            QVERIFY2(!hiHat->isChecked() && rig.bank.loaded() == sound::VoiceSound::Click,
                     damage.name);
            rig.click("Command1");
            std::tie(low, high) = rig.beat();
            QVERIFY2(low >= 0.0F && high > 0.3F, damage.name);
        }
        // Mended, the file loads, and the recording tells its sound from the click's.
        fs::remove_all(hat);
        writeVoice(hat, -0.25);
        rig.click("Command3");
        rig.click("Option2");
        QVERIFY(hiHat->isChecked());
        rig.click("Command1");
        const auto [low, high] = rig.beat();
        QVERIFY(low < -0.15F && high <= 0.0F);
        rig.click("Command3");
    }
};

METRONOME_WINDOW_TEST_MAIN(VoiceFileFaultTest)
#include "VoiceFileFaultTest.moc"
