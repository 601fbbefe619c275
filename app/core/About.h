// Where the program's maker can be found: the home page that "Load HomePage"
// opens and the address and subject of the mail that "Contact Author"
// starts. Kept here, in one place.
#pragma once

namespace app {

inline constexpr const char* kHomePage = "https://sentrel.example.org/";
inline constexpr const char* kFeedbackAddress = "feedback@sentrel.example.org";
inline constexpr const char* kFeedbackSubject = "Feedback for Sentrel";

}  // namespace app
