// Identifiers of the updater's resources and controls, shared by the
// resource script and the program.
#pragma once

#define IDI_UPDATER 107
#define IDD_UPDATE_PROMPT 129
#define IDB_BANNER 131

#define IDC_PROGRESS 1001
#define IDC_BANNER 1002
#define IDC_REMAINING_TIME 1003
#define IDC_FILE_NAME 1005
#define IDC_DOWNLOADING 1006
