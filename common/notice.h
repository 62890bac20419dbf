#pragma once
// A message box the engine wants shown. The engine never shows anything itself:
// it hands a Notice to its observer, and a window (or the command line) presents it.
#include <string>

namespace tp {

enum class NoticeIcon { None, Question, Exclamation, Information, Warning };
enum class NoticeButtons { Ok, YesNo };

struct Notice {
    std::string text;   // exactly as the program words it; lines end in CR LF or a lone CR
    std::string title;  // empty title = the platform's empty caption
    NoticeIcon icon = NoticeIcon::None;
    NoticeButtons buttons = NoticeButtons::Ok;
    bool beep = false;  // a beep comes before the box
    // What the notice is about (the file it concerns), shown apart from the text,
    // which stays exactly as worded. Empty when there is nothing to name.
    std::string detail = {};
};

inline constexpr const char* kAppTitle = "Tessaport PRO";
inline constexpr const char* kFinderTitle = "STRING FINDER Version 1.0";

}  // namespace tp
