// Every file-system path the program touches on a Mac, spelled once.
#pragma once

namespace paths {

// Directory of the stored charge limit; created by `setlimit` with mode 0755.
inline constexpr const char *limit_dir = "/Library/Application Support/Tamso";

// The stored charge limit: one decimal number and a newline.
inline constexpr const char *limit_file = "/Library/Application Support/Tamso/limit";

// The system's power-management utility, to which `powermode` hands over.
inline constexpr const char *pmset = "/usr/bin/pmset";

} // namespace paths
