#include "timeline.h"

#include <algorithm>
#include <string>

namespace {

struct Line {
    LONGLONG llTime;
    int iOrder; // keeps calls, connections and reports of one instant in a stable order
    std::string text;
};

std::string ReportText(const MotorRecord& report)
{
    char sz[96];
    if (report.IsWellFormed()) {
        snprintf(sz, sizeof(sz), "report %02X %02X %02X %02X  strength %3u", report.rgb[0], report.rgb[1],
                 report.rgb[2], report.rgb[3], report.Strength());
    } else {
        snprintf(sz, sizeof(sz), "MALFORMED report of %lu bytes: %02X %02X %02X %02X",
                 static_cast<unsigned long>(report.cb), report.rgb[0], report.rgb[1], report.rgb[2],
                 report.rgb[3]);
    }
    return sz;
}

} // namespace

void PrintTimeline(FILE* pFile, LONGLONG llOrigin, const std::vector<CallRecord>& calls,
                   const std::vector<MotorRecord>& reports, const std::vector<ConnectionEvent>& connections)
{
    std::vector<Line> lines;
    int iOrder = 0;
    for (const CallRecord& call : calls)
        lines.push_back({call.llTime, iOrder++, call.text});
    for (const ConnectionEvent& event : connections) {
        lines.push_back({event.llTime, iOrder++,
                         std::string(event.fOpen ? "device opened" : "device closed") + " (binding " +
                             std::to_string(event.iConnection) + ")"});
    }
    for (const MotorRecord& report : reports)
        lines.push_back({report.llTime, iOrder++, ReportText(report)});
    std::stable_sort(lines.begin(), lines.end(),
                     [](const Line& a, const Line& b) { return a.llTime < b.llTime; });

    fprintf(pFile, "%10s  %s\n", "time_ms", "event");
    for (const Line& line : lines)
        fprintf(pFile, "%10.3f  %s\n", PipeController::Milliseconds(llOrigin, line.llTime),
                line.text.c_str());
    size_t cMalformed = 0;
    for (const MotorRecord& report : reports)
        cMalformed += report.IsWellFormed() ? 0 : 1;
    fprintf(pFile, "%zu reports, %zu malformed\n", reports.size(), cMalformed);
}

bool WriteCsv(LPCWSTR pszPath, LONGLONG llOrigin, const std::vector<MotorRecord>& reports)
{
    FILE* pFile = _wfopen(pszPath, L"w");
    if (!pFile) return false;
    fprintf(pFile, "time_ms,strength,byte0,byte1,byte2,byte3,size,binding\n");
    for (const MotorRecord& report : reports) {
        fprintf(pFile, "%.3f,%u,%u,%u,%u,%u,%lu,%lu\n", PipeController::Milliseconds(llOrigin, report.llTime),
                report.Strength(), report.rgb[0], report.rgb[1], report.rgb[2], report.rgb[3],
                static_cast<unsigned long>(report.cb), static_cast<unsigned long>(report.iConnection));
    }
    return fclose(pFile) == 0;
}
