// Qo Metronome: wires the sound service, the voices, the beat timer, the transport and the
// window together, and runs the window's event loop.
#include "metro/core/PeriodicTimer.h"
#include "metro/core/Transport.h"
#include "metro/sound/DeviceOutput.h"
#include "metro/sound/EngineSoundService.h"
#include "metro/sound/FallbackOutput.h"
#include "metro/sound/PulseOutput.h"
#include "metro/sound/VoiceBank.h"
#include "metro/window/Form1.h"
#include "metro/window/LampRelay.h"
#include "metro/window/MetronomeApplication.h"
#include "metro/window/VoiceLoader.h"

#include <cstdlib>
#include <memory>
#include <utility>

int main(int argc, char** argv) {
    // The sound server through libpulse where one answers, else SDL2.
    auto output = std::make_unique<metro::sound::FallbackOutput>(
        std::make_unique<metro::sound::PulseOutput>(),
        std::make_unique<metro::sound::DeviceOutput>());
    metro::window::MetronomeApplication app(argc, argv);
    metro::sound::EngineSoundService sound(std::move(output));
    metro::sound::VoiceBank bank(sound);
    metro::window::BankVoices voices(bank);
    metro::core::PeriodicTimer timer;
    metro::window::LampRelay lamps;
    metro::core::Transport transport(timer, sound, lamps);
    metro::window::Form1 form(transport, sound, voices, lamps);
    if (!form.Form_Load()) {
        return EXIT_FAILURE;
    }
    form.show();
    return QApplication::exec();
}
