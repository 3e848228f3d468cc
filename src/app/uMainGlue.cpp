// Settings, port list and image file checks of the main window. These are the
// window's hooks into that glue; until it is written they do nothing, so the window
// starts with empty edits, an empty port list and the default connection settings.
#include "uMain.h"

// FormCreate: point the settings store at the settings file and load it into memory.
void TMain::LoadSettings() {}

// Before FormShow, and in its step 6: apply the saved window placement.
void TMain::RestorePlacement() {}

// FormShow step 3: the connection settings into FConfig and the AutoErase box.
void TMain::ReadSettings() {}

// FormShow step 4 and cbPortDropDown: fill cbPort with the port names.
void TMain::ListComPorts() {}

// FormShow step 4: sort cbPort in natural order.
void TMain::SortCombo() {}

// FormShow step 4: select the saved port name, else the first item.
void TMain::SelectSavedPort() {}

// FormShow step 5: the three saved file names into edBoot, edPart, edFirm.
void TMain::ReadFileNames() {}

// On a close request, and first in FormClose step 2: store the window placement.
void TMain::SavePlacement() {}

// FormClose step 2: connection settings, port name, AutoErase and the file names.
void TMain::WriteSettings() {}

// Program end: write the in-memory settings to the settings file.
void TMain::SaveSettingsFile() {}

// Checks the three image files and sets butUpdate's enabled state.
void TMain::CheckFiles() {}

// Text change of an edit (Sender: the edit, or the window itself from Timer1Timer).
void TMain::edFilenameChange(QObject* Sender) {
  (void)Sender;
}

// cbPort opens: refresh the port list.
void TMain::cbPortDropDown() {}
