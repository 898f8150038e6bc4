#pragma once
// Object names of the uploader's controls, so tests find them by id.
namespace kalvex::dravel {
constexpr const char* IDD_MAIN = "IDD_MAIN";
constexpr const char* IDD_EMAIL = "IDD_EMAIL";
constexpr const char* IDC_INFO_TEXT = "IDC_INFO_TEXT";
constexpr const char* IDC_PROGRESS = "IDC_PROGRESS";
constexpr const char* IDC_RESTART = "IDC_RESTART";
constexpr const char* IDC_EMAIL_TEXT = "IDC_EMAIL_TEXT";
constexpr const char* IDC_EMAIL = "IDC_EMAIL";
constexpr const char* IDOK_BUTTON = "IDOK";
constexpr const char* IDCANCEL_BUTTON = "IDCANCEL";
}  // namespace kalvex::dravel
