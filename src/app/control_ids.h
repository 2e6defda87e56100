// The ids of the main dialog (template 102) and of its controls, shared by the
// front ends, the tests and the Windows resource script. They are macros so
// that the resource compiler, which understands only the preprocessor, can
// include this header as it is.
#pragma once

#define IDD_ZANDREL_DIALOG 102

#define IDC_START_BUTTON 1000
#define IDC_SEND_BUTTON 3
#define IDC_CANCEL_BUTTON 4
#define IDC_PROGRESS_LIST 1001
#define IDC_CHANNEL_ID 1002
#define IDC_PROBLEM 1003
#define IDC_STATUS 1004
#define IDC_SPEED_URL 1005
#define IDC_SPEED_URL_LABEL 1006
