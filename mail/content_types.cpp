#include "mail/content_types.h"

#include <algorithm>
#include <iterator>

namespace tp::convert {

namespace {

struct Entry {
    std::string_view extension;  // lower case, without the dot
    std::string_view type;
};

// Sorted by extension (checked below while compiling). The types are those the freedesktop.org
// shared MIME database, and so most mail programs, give these extensions.
constexpr Entry kTypes[] = {
    {"3gp", "video/3gpp"},
    {"7z", "application/x-7z-compressed"},
    {"aac", "audio/aac"},
    {"ai", "application/illustrator"},
    {"aif", "audio/x-aiff"},
    {"aiff", "audio/x-aiff"},
    {"avi", "video/x-msvideo"},
    {"bmp", "image/bmp"},
    {"bz2", "application/x-bzip"},
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"doc", "application/msword"},
    {"docm", "application/vnd.ms-word.document.macroEnabled.12"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"dot", "application/msword-template"},
    {"dotx", "application/vnd.openxmlformats-officedocument.wordprocessingml.template"},
    {"eml", "message/rfc822"},
    {"eps", "image/x-eps"},
    {"epub", "application/epub+zip"},
    {"exe", "application/x-ms-dos-executable"},
    {"flac", "audio/flac"},
    {"gif", "image/gif"},
    {"gz", "application/gzip"},
    {"heic", "image/heif"},
    {"heif", "image/heif"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"ico", "image/vnd.microsoft.icon"},
    {"ics", "text/calendar"},
    {"jpe", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "application/javascript"},
    {"json", "application/json"},
    {"key", "application/vnd.apple.keynote"},
    {"log", "text/x-log"},
    {"m4a", "audio/mp4"},
    {"m4v", "video/mp4"},
    {"md", "text/markdown"},
    {"mid", "audio/midi"},
    {"midi", "audio/midi"},
    {"mkv", "video/x-matroska"},
    {"mov", "video/quicktime"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"msg", "application/vnd.ms-outlook"},
    {"odg", "application/vnd.oasis.opendocument.graphics"},
    {"odp", "application/vnd.oasis.opendocument.presentation"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"ogv", "video/ogg"},
    {"opus", "audio/ogg"},
    {"pdf", "application/pdf"},
    {"png", "image/png"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"ppsx", "application/vnd.openxmlformats-officedocument.presentationml.slideshow"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptm", "application/vnd.ms-powerpoint.presentation.macroEnabled.12"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"ps", "application/postscript"},
    {"psd", "image/vnd.adobe.photoshop"},
    {"pub", "application/vnd.ms-publisher"},
    {"rar", "application/vnd.rar"},
    {"rtf", "application/rtf"},
    {"svg", "image/svg+xml"},
    {"tar", "application/x-tar"},
    {"tgz", "application/x-compressed-tar"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"txt", "text/plain"},
    {"vcf", "text/vcard"},
    {"vcs", "text/calendar"},
    {"vsd", "application/vnd.visio"},
    {"wav", "audio/x-wav"},
    {"webm", "video/webm"},
    {"webp", "image/webp"},
    {"wma", "audio/x-ms-wma"},
    {"wmv", "video/x-ms-wmv"},
    {"wps", "application/vnd.ms-works"},
    {"xcf", "image/x-xcf"},
    {"xhtml", "application/xhtml+xml"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsm", "application/vnd.ms-excel.sheet.macroEnabled.12"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"xlt", "application/vnd.ms-excel"},
    {"xltx", "application/vnd.openxmlformats-officedocument.spreadsheetml.template"},
    {"xml", "application/xml"},
    {"xps", "application/vnd.ms-xpsdocument"},
    {"xz", "application/x-xz"},
    {"zip", "application/zip"},
};

constexpr bool sorted() {
    for (std::size_t i = 1; i < std::size(kTypes); ++i)
        if (!(kTypes[i - 1].extension < kTypes[i].extension)) return false;
    return true;
}
static_assert(sorted(), "the table is searched by halves: keep it sorted by extension");

}  // namespace

std::string contentTypeOfName(std::string_view fileName) {
    const std::size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == fileName.size())
        return "application/octet-stream";
    std::string ext(fileName.substr(dot + 1));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const auto* it =
        std::lower_bound(std::begin(kTypes), std::end(kTypes), ext,
                         [](const Entry& e, const std::string& key) { return e.extension < key; });
    if (it == std::end(kTypes) || it->extension != ext) return "application/octet-stream";
    return std::string(it->type);
}

}  // namespace tp::convert
