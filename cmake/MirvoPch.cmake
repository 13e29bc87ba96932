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

# mirvo_precompile_qt(<target> [<more headers>...]): the target makes a
# header of Qt and the standard library for itself (and its reusers).
function(mirvo_precompile_qt target)
  if(MIRVO_PCH)
    target_precompile_headers(${target} PRIVATE ${MIRVO_STD_PCH_HEADERS} ${MIRVO_QT_PCH_HEADERS} ${ARGN})
  endif()
endfunction()

# mirvo_reuse_pch(<target> <maker>): the target reuses the maker's header.
function(mirvo_reuse_pch target maker)
  if(MIRVO_PCH)
    target_precompile_headers(${target} REUSE_FROM ${maker})
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
  mirvo_reuse_pch(${target} mirvo_gtest_pch)
endfunction()
