#include "preflight/report.h"

#include "bootstrap/constants.h"
#include "preflight/text.h"

namespace preflight {
namespace {

std::u16string Json(std::u16string_view text) {
  std::u16string out = u"\"";
  for (const char16_t c : text) {
    switch (c) {
      case u'"':
        out += u"\\\"";
        break;
      case u'\\':
        out += u"\\\\";
        break;
      case u'\n':
        out += u"\\n";
        break;
      case u'\r':
        out += u"\\r";
        break;
      case u'\t':
        out += u"\\t";
        break;
      default:
        if (c < 0x20) {
          constexpr char16_t kDigits[] = u"0123456789abcdef";
          out += u"\\u00";
          out += kDigits[c >> 4];
          out += kDigits[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + u"\"";
}

std::u16string JsonFindings(const std::vector<Finding>& findings) {
  std::u16string out = u"[";
  for (const Finding& f : findings) {
    if (out.size() > 1) out += u", ";
    out += u"{\"code\": " + Json(f.code) + u", \"message\": " + Json(f.message) + u"}";
  }
  return out + u"]";
}

}  // namespace

std::u16string Verdict(const ManifestCheck& check, bool strict) {
  if (check.Fails(strict)) return u"fail";
  return check.warnings.empty() ? u"ok" : u"ok with warnings";
}

std::u16string TextReport(const std::u16string& path, const ManifestCheck& check, bool strict) {
  std::u16string out = path + u"\n";
  out += u"  encoding:     " + check.encoding + u"\n";
  if (check.found) {
    out += u"  element:      " + check.element + u" at line " + Number(check.line) + u", column " +
           Number(check.column) + u"\n";
    out += u"  Uri:          " + check.uri + u"\n";
    out += u"  package URL:  " + (check.packageUrl.empty() ? u"(none)" : check.packageUrl) + u"\n";
    out += u"  local file:   " + (check.fileName.empty() ? u"(none)" : check.fileName) + u"\n";
  } else {
    out += u"  element:      (none)\n";
  }
  for (const Finding& f : check.problems)
    out += u"  problem:      " + f.code + u": " + f.message + u"\n";
  for (const Finding& f : check.warnings)
    out += u"  warning:      " + f.code + u": " + f.message + u"\n";
  std::u16string verdict = Verdict(check, strict);
  if (check.Fails(strict) && check.problems.empty()) verdict += u" (warnings, with --strict)";
  out += u"  verdict:      " + verdict + u"\n";
  return out;
}

std::u16string TextReadError(const std::u16string& path) {
  return path + u"\n  error:        the file cannot be opened and read\n";
}

void JsonReport::Add(const std::u16string& path, const ManifestCheck& check) {
  if (!files_.empty()) files_ += u",\n";
  files_ += u"    {\"file\": " + Json(path) + u", \"encoding\": " + Json(check.encoding);
  if (check.found) {
    files_ += u", \"element\": " + Json(check.element) + u", \"line\": " + Number(check.line) +
              u", \"column\": " + Number(check.column) + u", \"uri\": " + Json(check.uri) +
              u", \"packageUrl\": " +
              (check.packageUrl.empty() ? u"null" : Json(check.packageUrl)) + u", \"fileName\": " +
              (check.fileName.empty() ? u"null" : Json(check.fileName));
  } else {
    files_ +=
        u", \"element\": null, \"line\": null, \"column\": null, \"uri\": null,"
        u" \"packageUrl\": null, \"fileName\": null";
  }
  files_ += u", \"problems\": " + JsonFindings(check.problems) + u", \"warnings\": " +
            JsonFindings(check.warnings) + u", \"verdict\": " + Json(Verdict(check, strict_)) +
            u"}";
}

void JsonReport::AddReadError(const std::u16string& path) {
  if (!files_.empty()) files_ += u",\n";
  files_ +=
      u"    {\"file\": " + Json(path) + u", \"error\": \"the file cannot be opened and read\"}";
}

std::u16string JsonReport::Finish(int exitCode) const {
  return u"{\n  \"manifestUrl\": " + Json(bootstrap::kManifestUrl) + u",\n  \"strict\": " +
         (strict_ ? u"true" : u"false") + u",\n  \"exitCode\": " +
         Number(static_cast<unsigned>(exitCode)) + u",\n  \"files\": [\n" + files_ +
         (files_.empty() ? u"" : u"\n") + u"  ]\n}\n";
}

}  // namespace preflight
