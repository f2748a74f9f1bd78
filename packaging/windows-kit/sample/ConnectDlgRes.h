// The resource identifiers of the sample dialog (ConnectDlg.rc). Named for
// the sample, so that they never meet the project's own resource.h, and
// numbered far above what the Visual Studio wizard and its resource editor
// hand out (resources from 100, controls from 1000), below MFC's own
// (0x7000 and up for resources, 0xE000 and up for controls).
#pragma once
#define IDD_CONNECT 0x6E00
#define IDC_CONNECT_HOST 0x6E01
#define IDC_CONNECT_PORT 0x6E02
#define IDC_CONNECT_START 0x6E03
#define IDC_CONNECT_CANCEL 0x6E04
#define IDC_CONNECT_STATUS 0x6E05
#define IDC_CONNECT_USE_ASYNC 0x6E06
