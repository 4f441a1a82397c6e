# Resources and build-time settings of the windows (included by the top-level CMakeLists).

# The About box's links. Empty (the default): the link or the mail icon is left out.
set(ORVANE_WEB_URL "" CACHE STRING "Web address shown as a link in the About box (empty: no link)")
set(ORVANE_SUPPORT_MAIL "" CACHE STRING "Support mail address behind the About box's mail icon (empty: no icon)")
target_compile_definitions(orvane_ui PRIVATE
  ORVANE_WEB_URL="${ORVANE_WEB_URL}"
  ORVANE_SUPPORT_MAIL="${ORVANE_SUPPORT_MAIL}")

# Icons drawn for this program, compiled into the UI library (see Q_INIT_RESOURCE in About.cpp).
set_property(TARGET orvane_ui PROPERTY AUTORCC ON)
target_sources(orvane_ui PRIVATE ${CMAKE_CURRENT_LIST_DIR}/orvane_app.qrc)
