// The reports of one kind (output or feature) a virtual controller has
// received, oldest first.
#pragma once

#include "controller_link.h"

#include <gtest/gtest.h>

#include <vector>

inline std::vector<VC_REPORT_ENTRY> ReportsOfKind(VC_CONTROLLER_ID id, BYTE kind)
{
    vcontroller::ReportLog log;
    EXPECT_EQ(vcontroller::GetReports(id, &log), static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<VC_REPORT_ENTRY> reports;
    for (const VC_REPORT_ENTRY& entry : log.entries)
        if (entry.kind == kind) reports.push_back(entry);
    return reports;
}
