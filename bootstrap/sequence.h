// The installer's whole job: fetch the App Installer manifest and hand it to
// the shell; when the shell refuses it, fetch and open the main package that
// the manifest names instead. Any failure ends in one message box.
#pragma once

#include <string>

namespace bootstrap {

// Fetches `url` into the file at `path`, with up to kDownloadAttempts
// attempts and a pause of kRetryDelayMs after each failed one but the last.
[[nodiscard]] bool DownloadWithRetry(const std::u16string& url, const std::u16string& path);

// Asks the shell to "open" the file at `path`. Does not wait for the handler.
[[nodiscard]] bool OpenWithShell(const std::u16string& path);

// Runs the sequence to its end, showing at most one message, and returns the
// value for the application's start-up hook: always false, so that the
// process ends.
[[nodiscard]] bool RunBootstrapSequence();

}  // namespace bootstrap
