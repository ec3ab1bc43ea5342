add_library(metronome_warnings INTERFACE)
target_compile_options(metronome_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Woverloaded-virtual -Wsuggest-override
  $<$<BOOL:${METRONOME_WERROR}>:-Werror>)
