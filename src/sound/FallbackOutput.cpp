#include "metro/sound/FallbackOutput.h"

#include "metro/sound/SoundService.h"

#include <utility>

namespace metro::sound {

FallbackOutput::FallbackOutput(std::unique_ptr<AudioOutput> first,
                               std::unique_ptr<AudioOutput> second)
    : m_first(std::move(first)), m_second(std::move(second)), m_open(m_first.get()) {}

void FallbackOutput::open(AudioSource& source) {
    close();
    try {
        m_first->open(source);
        m_open = m_first.get();
    } catch (const SoundError&) {
        m_second->open(source);
        m_open = m_second.get();
    }
}

void FallbackOutput::close() {
    m_open->close();
}

} // namespace metro::sound
