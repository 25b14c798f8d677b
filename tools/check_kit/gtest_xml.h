// GoogleTest's XML report, read for what the kit's reports need: whether the
// file is complete, and each test's suite, name, time, failures and skip.
#pragma once

#include <string>
#include <vector>

struct GtestCase {
    std::string suite;
    std::string name;
    std::string time;
    bool fSkipped = false;
    std::string skipMessage;
    std::vector<std::string> failures; // each failure's message
};

struct GtestReport {
    bool fComplete = false; // GoogleTest writes the file at the end of the run, in one go
    std::vector<GtestCase> cases;

    size_t Count(bool fFailed, bool fSkipped) const;
};

// A missing or partial file gives fComplete false (and the cases read so far).
GtestReport ReadGtestXml(const std::wstring& path);

std::string XmlEscape(const std::string& text);
