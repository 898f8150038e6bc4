#pragma once
// Dialog, control and icon ids. Every widget that has an id gets it as its
// objectName (ObjectName(id)), so tests and tools find controls by id.
#include <QString>

namespace kalvex::res {

inline QString ObjectName(int id) { return QString::number(id); }

// Main window (dialog 132)
constexpr int IDD_MAIN = 132;
constexpr int IDI_MAIN = 133;
constexpr int IDC_TAB = 1016;
constexpr int IDC_ADD_FILES = 1071;
constexpr int IDC_CONVERT_TO_PSP = 1082;
constexpr int IDC_SEARCH_SUBTITLES = 1083;

// "Auto Update" (dialog 141)
constexpr int IDD_UPDATE = 141;
constexpr int IDC_UPDATE_PROGRESS = 1042;
constexpr int IDC_UPDATE_NOW = 1073;
constexpr int IDC_UPDATE_LATER = 1074;
constexpr int IDC_UPDATE_TEXT = 1075;

// Codec pack download (dialog 155; "OK" = 1, "Cancel" = 2)
constexpr int IDD_CODEC_MISS = 155;
constexpr int IDC_CODEC_TEXT = 1053;
constexpr int IDC_CODEC_PROGRESS = 1095;

// "Search Subtitles" (dialog 144)
constexpr int IDD_SEARCH_SUBTITLES = 144;
constexpr int IDC_SEARCH_WORDS = 1084;       // read-only box of extracted words
constexpr int IDC_SEARCH_MOVIE_NAME = 1021;  // the movie name typed by the user
constexpr int IDC_SEARCH_NOW = 1085;
constexpr int IDC_SUBTITLE_SITE = 1086;

// Hint dialog
constexpr int IDD_HINT = 138;

// Video Files page (dialog 130)
constexpr int IDD_ADDFILE_PAGE = 130;
constexpr int IDC_FILE_LIST = 1017;
constexpr int IDC_BTN_ADD_FILES = 1018;      // hidden
constexpr int IDC_BTN_REMOVE = 1019;         // hidden
constexpr int IDC_BTN_MOVE_UP = 1034;        // hidden
constexpr int IDC_BTN_MOVE_DOWN = 1035;      // hidden
constexpr int IDC_BTN_MODIFY_TIME = 1050;    // hidden
constexpr int IDC_BTN_LOAD_SUBTITLE = 1076;  // hidden
constexpr int IDC_BTN_AUTO_LOAD_SUBTITLES = 1077;  // hidden
constexpr int IDC_MOVIE_INFO = 1021;
constexpr int IDC_SUBTITLE_FILES = 1030;
constexpr int IDC_USE_SUBTITLE = 1031;
constexpr int IDC_SUBTITLE_STREAMS = 1032;
constexpr int IDC_SOUND_TRACK = 1033;        // "Sound track" choice of a file with several
constexpr int IDC_PLAY = 1012;
constexpr int IDC_STOP = 1002;
constexpr int IDC_PAUSE = 1003;
constexpr int IDC_SET_START_TIME = 1020;
constexpr int IDC_SET_END_TIME = 1025;
constexpr int IDC_FULLSCREEN = 1026;
constexpr int IDC_PREVIEW_AREA = 1022;
constexpr int IDC_POSITION_SLIDER = 1023;
constexpr int IDC_TIME_LABEL = 1024;

// Menu 147, submenu "&Files" (right click on the file list)
constexpr int IDR_FILES_MENU = 147;
constexpr int ID_FILES_ADD = 32772;
constexpr int ID_FILES_REMOVE = 32773;
constexpr int ID_FILES_MOVE_UP = 32774;
constexpr int ID_FILES_MOVE_DOWN = 32775;
constexpr int ID_FILES_MODIFY_TIME = 32776;
constexpr int ID_FILES_LOAD_SUBTITLE = 32777;
constexpr int ID_FILES_AUTO_LOAD_SUBTITLES = 32778;
constexpr int ID_FILES_SEARCH_SUBTITLES = 32799;

// "Modify Time" dialog (dialog 137)
constexpr int IDD_MODIFY_TIME = 137;
constexpr int IDC_START_MINUTES = 1051;
constexpr int IDC_START_SECONDS = 1052;
constexpr int IDC_END_MINUTES = 1022;
constexpr int IDC_END_SECONDS = 1023;
constexpr int IDC_LENGTH_MINUTES = 1024;
constexpr int IDC_LENGTH_SECONDS = 1025;

// "Convert Setting" (PSP convert settings)
constexpr int IDD_PSP_SETTING = 3300;
constexpr int IDC_PSP_RESOLUTION = 3301;
constexpr int IDC_PSP_FRAME_RATE = 3302;
constexpr int IDC_PSP_SET_BY_VALUE = 3303;
constexpr int IDC_PSP_CUSTOM_FPS = 3304;
constexpr int IDC_PSP_SAMPLE_RATE = 3305;
constexpr int IDC_PSP_VIDEO_BITRATE = 3306;
constexpr int IDC_PSP_AUDIO_BITRATE = 3307;        // hidden
constexpr int IDC_PSP_AUDIO_BITRATE_LABEL = 3308;  // hidden
constexpr int IDC_PSP_AUDIO_BITRATE_UNIT = 3309;   // hidden
constexpr int IDC_PSP_AUDIO_BITRATE_HINT = 3310;   // hidden
constexpr int IDC_PSP_VIDEO_BITRATE_UNIT = 3311;
constexpr int IDC_PSP_VIDEO_BITRATE_HINT = 3312;
constexpr int IDC_PSP_APPLY = 3313;
constexpr int IDC_PSP_DEFAULT = 3314;
constexpr int IDC_PSP_CODEC = 3315;

// PSP detection and copy dialogs ("OK" = 1, "Cancel" = 2 in each)
constexpr int IDD_NO_PSP_DETECTED = 3400;
constexpr int IDD_PSP_FILE_EXISTS = 3401;
constexpr int IDD_PSP_FREE_SPACE = 3402;
constexpr int IDD_PSP_COPYING = 3403;
constexpr int IDC_PSP_TEXT = 3410;            // the text of each of the four
constexpr int IDC_PSP_OPEN_DRIVE = 3411;      // "Open PSP drive"
constexpr int IDC_PSP_COPY_PROGRESS = 3412;   // progress bar of "Copying to PSP"


// First-run dialog "Choose a place to save temporary files" (dialog 143)
constexpr int IDD_AUTO_DETECT_DISK = 143;
constexpr int IDC_DISK_LIST = 1078;
constexpr int IDC_DISK_FOLDER = 1079;
constexpr int IDC_DISK_FREE = 1080;
constexpr int IDC_DISK_BROWSE = 1021;

}  // namespace kalvex::res
