// Pictures, the window font, file type names and icons, and the code page
// 932 border of the windows.
#pragma once

#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <string>
#include <string_view>

class QListWidget;

namespace mirvo::app {

// Maps the family the windows once asked for to the installed P-Gothic;
// the application font is the desktop's, at its size and scaling.
void ApplyAppFont();
QFont AppFont();
// The desktop file's name for docks and task bars, and dialog buttons
// without icons. Once, at start.
void ApplyDesktopHabits();

// Qt's own texts (standard buttons, edit menus) in Japanese, whatever the
// locale says: the whole interface is Japanese. False when the
// translation is not installed.
bool LoadQtJapanese();

// Fixes a laid-out window at its usual size, or larger where its font
// needs more room for the captions.
void FixSizeForFont(QWidget* window, QSize usual);
// List rows as tall as the list's font, descenders included.
void SetRowHeightToFont(QListWidget* list);

// A picture of the program (name without ".svg") at size; hot draws the
// accent in the highlight colour of a button under the mouse.
QPixmap SvgPixmap(const QString& name, QSize size, bool hot = false);
// Normal picture plus its hot form for the Active mode.
QIcon ToolIcon(const QString& name);

// The extension of a handset name: from its last "." when no "\" or ":"
// follows, else empty.
QString FileExtension(const QString& name);
// Type name (at most 80 characters) and icon of an extension, as the
// desktop knows them; asked once per extension and kept.
QString ShellTypeName(const QString& extension);
QIcon ShellIcon(const QString& extension);

// The UTF-8 form of a code page 932 text; bytes without a form show as
// <XX> so that a bad name stays visible and distinct.
QString FromCp932(std::string_view cp932);
// nullopt-free helper: false when text has no code page 932 form.
bool ToCp932(const QString& text, std::string& out);

}  // namespace mirvo::app
