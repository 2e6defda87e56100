// Ids of the Windows dialog's resources other than template 102 and its
// controls. Macros, so that the resource compiler can include this header.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_HINT_VIEW 133
#define IDR_HINT_PAGE 104
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
