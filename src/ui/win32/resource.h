// Resource numbers of the Windows dialog program (vexlor-gui.rc and the code).
#pragma once

#define IDD_CONVERTER 102    // the dialog template
#define IDR_MAINFRAME 128    // the icon
#define IDB_BACKGROUND 129   // the dialog's background picture, 400 x 200
#define IDC_OPEN 1000        // OPEN KVR
#define IDC_CONVERT 1001     // CONVERT
#define IDC_STATUS 1002      // the status line
#define IDC_BACKGROUND 1006  // the SkinButton that shows the picture
