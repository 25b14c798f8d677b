// Resource ids of the stand-in property sheet component.
#pragma once

#define IDI_PAGE 100
#define IDD_PAGE 200
#define IDC_MARK_MODIFIED 201
