// Where a fetched file goes: the user's temporary folder followed by the last
// "/"-segment of its URL, without query or fragment.
#pragma once

#include <string>
#include <string_view>

namespace bootstrap {

// Puts the file name that ends `url` into `name`. The name is everything after
// the last "/" (query and fragment included in that search), cut at its first
// "?" or "#". Percent escapes and letter case are kept as they are.
//
// False, with `name` untouched, when the URL has no "/" or nothing after it.
// False, with `name` emptied, when the segment starts with "?" or "#".
// False, with `name` emptied, when the name contains a backslash or consists
// only of dots: such a name would step out of the temporary folder.
[[nodiscard]] bool FileNameFromUrl(std::u16string_view url, std::u16string& name);

// Replaces `path` with the temporary folder followed by the file name of
// `url`. On false `path` keeps what it held.
[[nodiscard]] bool MakeDownloadPath(std::u16string_view url, std::u16string& path);

}  // namespace bootstrap
