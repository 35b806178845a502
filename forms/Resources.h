#pragma once

// The pictures and the font the windows share.

#include <QFont>
#include <QIcon>

namespace tarnwick::forms {

QFont WindowFont();      // the one font of every control
QFont AboutTitleFont();  // the About window's title: bold Courier New
QIcon ProgramIcon();     // a pencil over a sheet of paper, 32 by 32
QIcon DocumentIcon();    // choose a file
QIcon OpenFolderIcon();  // choose a folder
QIcon DisketteIcon();    // save the settings
QIcon AboutIcon();       // a framed yellow-and-black square

}  // namespace tarnwick::forms
