# Resources and build-time settings of the windows (included by app/CMakeLists.txt).

# The About box's links. Empty (the default): the link or the mail icon is left out.
set(ORVANE_WEB_URL "" CACHE STRING "Web address shown as a link in the About box (empty: no link)")
set(ORVANE_SUPPORT_MAIL "" CACHE STRING "Support mail address behind the About box's mail icon (empty: no icon)")
target_compile_definitions(orvane_app PRIVATE
  ORVANE_WEB_URL="${ORVANE_WEB_URL}"
  ORVANE_SUPPORT_MAIL="${ORVANE_SUPPORT_MAIL}")

# Icons drawn for this program, compiled into the windows library (see Q_INIT_RESOURCE in About.cpp).
set_property(TARGET orvane_app PROPERTY AUTORCC ON)
target_sources(orvane_app PRIVATE ${CMAKE_CURRENT_LIST_DIR}/orvane_app.qrc)
