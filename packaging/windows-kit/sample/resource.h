// The sample dialog's controls (the project's own .rc lays them out).
#pragma once
#define IDD_CONNECT 100
#define IDC_HOST 1001
#define IDC_PORT 1002
#define IDC_CONNECT 1003
#define IDC_STATUS 1004
#define IDC_USE_ASYNC 1005
#define IDC_CANCEL_CONNECT 1006
