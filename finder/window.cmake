# The string finder window (a library, so tests can drive it) and its program.
# Its message and input boxes come from tp_dialogs in app/.
if("app" IN_LIST TP_AREAS)
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets)

  add_library(tp_finder_window STATIC finder_window.cpp finder_window.h)
  tp_warnings(tp_finder_window)
  set_target_properties(tp_finder_window PROPERTIES AUTOMOC ON)
  target_include_directories(tp_finder_window PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(tp_finder_window PUBLIC tp_finder tp_dialogs Qt6::Widgets)

  add_executable(tessaport-finder finder_main.cpp)
  tp_warnings(tessaport-finder)
  target_link_libraries(tessaport-finder PRIVATE tp_finder_window tp_version)
  install(TARGETS tessaport-finder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
