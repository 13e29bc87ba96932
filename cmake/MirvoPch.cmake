# Precompiled headers, one set for each family of targets built with the
# same options: the windows, the windows' tests, the GoogleTest programs.
# A target reuses its family's header instead of parsing Qt or GoogleTest
# again in every file; the compiler checks that the options agree and
# parses the headers itself when they do not, so a mismatch costs time,
# never correctness.
option(MIRVO_PCH "Precompile the Qt and GoogleTest headers" ON)

set(MIRVO_STD_PCH_HEADERS
  <algorithm> <chrono> <cstdint> <filesystem> <functional> <map> <memory> <optional>
  <string> <string_view> <utility> <vector>)

set(MIRVO_QT_PCH_HEADERS
  <QAction> <QApplication> <QClipboard> <QDialog> <QDir> <QFile> <QFileInfo>
  <QHBoxLayout> <QHeaderView> <QLabel> <QLineEdit> <QListView> <QListWidget>
  <QMenu> <QMessageBox> <QMimeData> <QObject> <QPainter> <QPointer>
  <QPushButton> <QString> <QStringList> <QTimer> <QToolButton> <QTreeView>
  <QUrl> <QVBoxLayout> <QWidget>)

# The windows' library makes the header the program reuses; the windows'
# test helpers make one with Qt Test added, which every Qt test reuses.
function(mirvo_use_qt_pch target)
  if(NOT MIRVO_PCH)
    return()
  endif()
  if(target STREQUAL "mirvo_gui")
    target_precompile_headers(${target} PRIVATE ${MIRVO_STD_PCH_HEADERS} ${MIRVO_QT_PCH_HEADERS})
  elseif(target STREQUAL "mirvo")
    target_precompile_headers(${target} REUSE_FROM mirvo_gui)
  elseif(target STREQUAL "mirvo_app_test_support")
    target_precompile_headers(${target} PRIVATE ${MIRVO_STD_PCH_HEADERS} ${MIRVO_QT_PCH_HEADERS}
      <QSignalSpy> <QTest>)
  else()
    target_precompile_headers(${target} REUSE_FROM mirvo_app_test_support)
  endif()
endfunction()

# GoogleTest programs reuse one header made by a library of no code of its
# own. Only when not optimising: through a precompiled <string>, GCC 12's
# -Warray-bounds misfires on inlined test bodies, and at -O2 the header
# saves little beside the code generation of the tests themselves.
function(mirvo_use_gtest_pch target)
  if(NOT MIRVO_PCH OR NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    return()
  endif()
  if(NOT TARGET mirvo_gtest_pch)
    add_library(mirvo_gtest_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch_anchor.cpp)
    target_link_libraries(mirvo_gtest_pch PRIVATE GTest::gtest GTest::gmock)
    target_precompile_headers(mirvo_gtest_pch PRIVATE ${MIRVO_STD_PCH_HEADERS}
      <gmock/gmock.h> <gtest/gtest.h>)
  endif()
  target_precompile_headers(${target} REUSE_FROM mirvo_gtest_pch)
endfunction()
