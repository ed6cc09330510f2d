// keyloom's commands, one file each. Each builds its part of the report and
// the exit status; RunCommand (Keyloom.cpp) adds what every report has.
#pragma once

#include <string>

#include "cli/CommandLine.h"
#include "cli/Keyloom.h"
#include "cli/Prepared.h"

namespace keyloom {

// provision, seed-file and seed-provider on one reader.
Outcome RunProvision(const Options& options, const Prepared& prepared, const std::string& reader);
Outcome RunBulk(const Options& options, const Prepared& prepared, const std::string& reader);
Outcome RunInfo(const Options& options, const std::string& reader);
Outcome RunReaders();
Outcome RunOtp(const Options& options, const Prepared& prepared, const std::string& reader);
Outcome RunDelete(const Options& options, const Prepared& prepared, const std::string& reader);
// key change, key reset and key save.
Outcome RunKey(const Options& options, const Prepared& prepared);
// enroll; inputs reads its further files (the users list, the PSKC keys).
Outcome RunEnroll(const Options& options, const Prepared& prepared, InputReader& inputs);

}  // namespace keyloom
