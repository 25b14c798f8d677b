// dicheck's exit codes, which check.exe reads as its verdict.
#pragma once

enum DicheckResult {
    DICHECK_PASSED = 0,
    DICHECK_FAILED = 1,
    DICHECK_BAD_COMMAND_LINE = 2,
    // DirectInput found the controller but gives it no force feedback from
    // the package's entries, as Wine's does: neither passed nor failed.
    DICHECK_NOT_PROVIDED = 3,
    // What it needs is not there (the virtual controller's drivers, elevation).
    DICHECK_CANNOT_CHECK = 4,
};
