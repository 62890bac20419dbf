# The Qt windows: the main window and its program, the string finder window and
# its program. Their dialogs come from tp_dialogs (dialogs/).
find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets)

# The main window (a library, so that the tests drive the same window).
add_library(tp_mainwindow STATIC
  main_window.cpp main_window.h
  mailbox_list.cpp mailbox_list.h
  run_controller.cpp run_controller.h
  shell_services.cpp shell_services.h
  resources.qrc)
set_target_properties(tp_mainwindow PROPERTIES AUTOMOC ON AUTORCC ON)
tp_warnings(tp_mainwindow)
target_include_directories(tp_mainwindow PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tp_mainwindow PUBLIC tp_dialogs tp_engine tp_folderwalk Qt6::Widgets)

add_executable(tessaport main.cpp)
tp_warnings(tessaport)
tp_program(tessaport)
target_link_libraries(tessaport PRIVATE tp_mainwindow)

# The manual lives beside the program (and is there for every target that
# uses the window, tests included).
add_custom_command(OUTPUT ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/help.html
  COMMAND ${CMAKE_COMMAND} -E copy_if_different
          ${PROJECT_SOURCE_DIR}/docs/help.html ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/help.html
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/help.html
  VERBATIM)
add_custom_target(tp_help DEPENDS ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/help.html)
add_dependencies(tp_mainwindow tp_help)
install(TARGETS tessaport RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The string finder window over the scanner engine (a library, so tests can drive
# it) and its program.
add_library(tp_finder_window STATIC finder_window.cpp finder_window.h)
tp_warnings(tp_finder_window)
set_target_properties(tp_finder_window PROPERTIES AUTOMOC ON)
target_include_directories(tp_finder_window PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tp_finder_window PUBLIC tp_finder tp_dialogs Qt6::Widgets)

add_executable(tessaport-finder finder_main.cpp)
tp_warnings(tessaport-finder)
target_link_libraries(tessaport-finder PRIVATE tp_finder_window tp_version)
install(TARGETS tessaport-finder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
