# Precompiled Qt headers. Most of a Debug compile here is Qt's headers, so each kind of target
# precompiles them once and the others of its kind reuse that header (REUSE_FROM): the Qt Core
# libraries and programs, the widget ones, and the tests of each. A target that reuses one must
# be built with the same flags and every definition of the target that made it (CMake passes
# -Winvalid-pch, so with warnings as errors a mismatch fails the build: give the target that
# makes them no definitions of its own). A header set below leaves out what depends on a
# module's QT_<MODULE>_LIB definition (QTest's <QTest> itself does).

option(DISPLAY_PCH "Precompile the Qt headers" ON)

set(DISPLAY_PCH_CORE
  <QByteArray> <QCoreApplication> <QDateTime> <QDebug> <QDir> <QElapsedTimer> <QFile>
  <QFileInfo> <QHash> <QJsonArray> <QJsonDocument> <QJsonObject> <QList> <QMap> <QObject>
  <QPointer> <QProcess> <QRegularExpression> <QSaveFile> <QString> <QStringList>
  <QTemporaryDir> <QTextStream> <QTimer> <QVariant> <functional> <memory> <optional>
  <vector>)
set(DISPLAY_PCH_WIDGETS
  <QApplication> <QComboBox> <QLabel> <QLineEdit> <QMessageBox> <QPushButton> <QTabWidget>
  <QWidget>)
set(DISPLAY_PCH_TEST
  <QtTest/qtestcase.h> <QtTest/qtestdata.h> <QtTest/qsignalspy.h>)

# display_precompile(<target> HEADERS <header>...) precompiles the headers for the target;
# display_precompile(<target> FROM <other>) reuses the other target's.
function(display_precompile target)
  if(NOT DISPLAY_PCH)
    return()
  endif()
  cmake_parse_arguments(ARG "" "FROM" "HEADERS" ${ARGN})
  if(ARG_FROM)
    target_precompile_headers(${target} REUSE_FROM ${ARG_FROM})
  else()
    target_precompile_headers(${target} PRIVATE ${ARG_HEADERS})
  endif()
endfunction()

# ccache compiles a file that uses a precompiled header without caching it unless told that the
# header's definitions and times may be trusted; tell it so when it is the launcher.
if(DISPLAY_PCH)
  foreach(lang C CXX)
    if(CMAKE_${lang}_COMPILER_LAUNCHER MATCHES "ccache$")
      set(CMAKE_${lang}_COMPILER_LAUNCHER
          env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
          ${CMAKE_${lang}_COMPILER_LAUNCHER})
    endif()
  endforeach()
endif()
