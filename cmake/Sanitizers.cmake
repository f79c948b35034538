# KESTRUNE_SANITIZE=address,undefined or KESTRUNE_SANITIZE=thread instruments every target.
if(KESTRUNE_SANITIZE)
  set(_kestrune_san -fsanitize=${KESTRUNE_SANITIZE} -fno-omit-frame-pointer)
  if(KESTRUNE_SANITIZE MATCHES "undefined")
    list(APPEND _kestrune_san -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_kestrune_san})
  add_link_options(${_kestrune_san})
endif()
