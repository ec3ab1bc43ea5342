# METRONOME_SANITIZE: empty, "address,undefined" or "thread".
set(METRONOME_SANITIZE "" CACHE STRING "Sanitizers to build with")
if(METRONOME_SANITIZE)
  add_compile_options(-fsanitize=${METRONOME_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${METRONOME_SANITIZE})
  if(METRONOME_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
