// Resource ids of the wizard: dialog templates, controls and the icon.
// Shared by the C++ sources, the resource script and the GUI test driver.
#ifndef VELMORA_WIZARD_WIN32_RESOURCE_H
#define VELMORA_WIZARD_WIN32_RESOURCE_H

// Dialog templates.
#define IDD_HOST 102
#define IDD_WELCOME 130
#define IDD_TRANSFER 131
#define IDD_RESTORE 132
#define IDD_ADDRESS 133
#define IDD_LOGIN 137
#define IDD_WIZARD 138

// The program's icon.
#define IDI_VELMORA 128

// Wizard frame.
#define IDC_PAGE_AREA 1000
#define IDC_COPYRIGHT 1012
// The platform's wizard command ids (back, next, finish); Cancel is IDCANCEL.
#define IDC_WIZ_BACK 12323
#define IDC_WIZ_NEXT 12324
#define IDC_WIZ_FINISH 12325

// Pages.
#define IDC_PAGE_TEXT 1002
#define IDC_BUSY_BAR 1004

// Address dialog.
#define IDC_ADDRESS 1003
#define IDC_ADDRESS_PROMPT 1011

// Login dialog.
#define IDC_USER_NAME 1006
#define IDC_PASSWORD 1007
#define IDC_LOGIN_PROMPT 1008
#define IDC_USER_LABEL 1009
#define IDC_PASSWORD_LABEL 1010

#endif
