# The product is built in layers: common <- engine <- discovery <- app. Every source
# includes headers as "<layer>/X.h" from the repository root, so a single include
# directory at the root would let any layer reach any other. Instead each layer gets an
# include root of its own in the build tree holding one symbolic link named after the
# layer (build/layers/engine/engine -> <source>/engine). A target sees a layer's headers
# only by linking that layer's library, so including a header of a higher layer fails
# to build.

# orvane_layer_include_root(<layer> <out-var>): makes the layer's include root and
# stores its path in <out-var>.
function(orvane_layer_include_root layer out_var)
  set(root ${CMAKE_BINARY_DIR}/layers/${layer})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${layer} ${root}/${layer} SYMBOLIC)
  set(${out_var} ${root} PARENT_SCOPE)
endfunction()

# orvane_add_layer(<target> <layer> SOURCES ...): the layer's static library, whose
# public include directory is the layer's own include root and nothing else.
function(orvane_add_layer target layer)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "SOURCES")
  add_library(${target} STATIC ${ARG_SOURCES})
  orvane_layer_include_root(${layer} root)
  target_include_directories(${target} PUBLIC ${root})
endfunction()
