// The program's string table: every text shown to the user, keyed by its string id.
//
// One table for the whole program. Texts are UTF-8 and exactly as the user sees them. Ids below 20000
// and from 57344 to 65535 are the program's resource ids (a command's id keys its prompt: the status
// tip, then after a line break its short form); the range 20000-20099 holds the response-code texts
// that have no resource id of their own, 20100-20199 the other texts without one (the document
// framework's file messages and a few texts of the device operations and the desktop program).
// Captions of menus and dialog templates have no string id: they are keyed TemplateText(template,
// control) = template * 100000 + control id (a menu item by its command id, a menu's pop-ups by their
// position 1, 2, 3, a dialog's own caption by 0).
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace zelhart::hart {

namespace str {
// Document template: window title, document name, new-file name, filter, extension, type id, type name.
inline constexpr int kDocumentTemplate = 101;

// Key of a caption of menu or dialog template `templateId`.
constexpr int TemplateText(int templateId, int controlId) {
    return templateId * 100000 + controlId;
}

// Captions of the four tabs of the main view: 201, 202, 203 and 205 (204 "Параметры" makes no tab).
inline constexpr int kTabBasic = 201;
inline constexpr int kTabAdvanced = 202;
inline constexpr int kTabInformation = 203;
inline constexpr int kTabParameters = 204;
inline constexpr int kTabCalibration = 205;

// Texts of the lists (first entry of each group; the others follow by id).
inline constexpr int kConnectionTwoWire = 300; // "2-проводное", 301 three-wire, 302 four-wire
inline constexpr int kAlarmHigh = 400;         // "Высокий", 401 "Низкий"
inline constexpr int kFilter60Hz = 500;        // "60 Гц", 501 "50 Гц"
inline constexpr int kProtectionOff = 600;     // "выключена", 601 "включена"
inline constexpr int kFirstSensorName = 700;   // 700-720: sensor kinds 1-21
inline constexpr int kFirstUnitText = 800;     // 800-805: units codes 32-37
inline constexpr int kMilliamperes = 806;      // "мА"
inline constexpr int kSeconds = 807;           // "с"

// Device operations.
inline constexpr int kReceiveComplete = 899; // "Приём завершен"
inline constexpr int kSendComplete = 900;    // "Передача завершена успешно"
inline constexpr int kDataWillBeLost = 904;
inline constexpr int kLoopOutputWillChange = 905;
inline constexpr int kFileVersionIncompatible = 910;
inline constexpr int kSensorFound = 935; // "Датчик Корвел-4810 найден"
inline constexpr int kProtectionUnreadable = 1244;

// Hyperlinks that cannot be opened: 925 followed by the text of the reason.
inline constexpr int kLinkOutOfMemory = 911;
inline constexpr int kLinkPathNotFound = 912;
inline constexpr int kLinkFileNotFound = 913;
inline constexpr int kLinkBadFormat = 914;
inline constexpr int kLinkAccessDenied = 915;
inline constexpr int kLinkAssocIncomplete = 916;
inline constexpr int kLinkDdeBusy = 917;
inline constexpr int kLinkDdeFail = 918;
inline constexpr int kLinkDdeTimeout = 919;
inline constexpr int kLinkDllNotFound = 920;
inline constexpr int kLinkNoAssociation = 921;
inline constexpr int kLinkNotEnoughMemory = 922;
inline constexpr int kLinkSharingViolation = 923;
inline constexpr int kLinkUnknownError = 924; // "%s (%d)" with the code
inline constexpr int kLinkCannotOpen = 925;
inline constexpr int kCreateProcessFailed = 1284;

// Tool tips of the main view's buttons.
inline constexpr int kTipOpenButton = 1200;
inline constexpr int kTipLoadButton = 1201;

// Link and transport.
inline constexpr int kSensorNotFound = 906;      // "Датчик Корвел-4810 не найден"
inline constexpr int kCannotClosePort = 907;     // "Нельзя закрыть Com порт"
inline constexpr int kCannotOpenPort = 908;      // "Нельзя открыть Com порт"
inline constexpr int kCannotConfigurePort = 909; // "Нельзя сконфигурировать Com порт"

// Response codes of the transmitter.
inline constexpr int kWriteProtected = 1004;
inline constexpr int kDampingRounded = 1005;
inline constexpr int kConnectionDamaged = 20000;
inline constexpr int kInvalidSelection = 20001;
inline constexpr int kParameterTooLarge = 20002;
inline constexpr int kParameterTooSmall = 20003;
inline constexpr int kTooManyDataBytes = 20004;
inline constexpr int kUpdateFailed = 20005;
inline constexpr int kLowerRangeTooHigh = 20006;
inline constexpr int kLoopCurrentModeOrValue = 20007;
inline constexpr int kProcessTooHigh = 20008;
inline constexpr int kInvalidSensorNumber = 20009;
inline constexpr int kLowerRangeTooLow = 20010;
inline constexpr int kProcessTooLow = 20011;
inline constexpr int kInvalidHighAlarm = 20012;
inline constexpr int kUpperRangeTooHigh = 20013;
inline constexpr int kLoopCurrentNotActive = 20014;
inline constexpr int kInvalidSensorType = 20015;
inline constexpr int kInvalidHighSaturation = 20016;
inline constexpr int kUpperRangeTooLow = 20017;
inline constexpr int kInvalidCalibrationUnits = 20018;
inline constexpr int kInvalidConnectionCode = 20019;
inline constexpr int kInvalidCalibrationMode = 20020;
inline constexpr int kInvalidLowAlarm = 20021;
inline constexpr int kRangeOutOfLimits = 20022;
inline constexpr int kComputationError = 20023;
inline constexpr int kInvalidLowSaturation = 20024;
inline constexpr int kSpanTooSmall = 20025;
inline constexpr int kAccessRestricted = 20026;
inline constexpr int kDeviceBusy = 20027;
inline constexpr int kCommandNotImplemented = 20028;
inline constexpr int kUndefined = 20029;

// Print report and the command-line listing: title, row labels, "Да"/"Нет".
inline constexpr int kReportTitle = 1101;
inline constexpr int kLabelTag = 1102;
inline constexpr int kLabelSensorType = 1103;
inline constexpr int kLabelConnection = 1104;
inline constexpr int kLabelLowerRange = 1105;
inline constexpr int kLabelUpperRange = 1106;
inline constexpr int kLabelLowerLimit = 1107;
inline constexpr int kLabelUpperLimit = 1108;
inline constexpr int kLabelDamping = 1109;
inline constexpr int kLabelAlarmType = 1110;
inline constexpr int kLabelLowAlarm = 1111;
inline constexpr int kLabelHighAlarm = 1112;
inline constexpr int kLabelLowSaturation = 1113;
inline constexpr int kLabelHighSaturation = 1114;
inline constexpr int kLabelFilter = 1115;
inline constexpr int kLabelWriteProtect = 1116;
inline constexpr int kLabelMeasuredValue = 1117;
inline constexpr int kLabelLoopCurrent = 1118;
inline constexpr int kLabelDeviceTemp = 1119;
inline constexpr int kLabelSensorFault = 1120;
inline constexpr int kLabelDeviceFault = 1121;
inline constexpr int kYes = 1122;
inline constexpr int kNo = 1123;
inline constexpr int kLabelSoftwareVersion = 1124;
inline constexpr int kLabelHardwareVersion = 1125;
inline constexpr int kLabelFinalAssembly = 1126;
inline constexpr int kLabelDate = 1135;

// Calibration.
inline constexpr int kAlarmLevelsUnreadable = 1246;
inline constexpr int kFixedCurrentLeft = 1247;
inline constexpr int kLoop4mAConfirm = 1249;
inline constexpr int kLoop4mAFailed = 1250;
inline constexpr int kLoop20mAConfirm = 1251;
inline constexpr int kLoop20mAFailed = 1252;
inline constexpr int kConnectMultimeter = 1272;
inline constexpr int kEnter4mAValue = 1273;
inline constexpr int kEnter20mAValue = 1274;
inline constexpr int kLoopCalibrationDone = 1275;
inline constexpr int kNo4mAValue = 1278;
inline constexpr int k4mAValueTooHigh = 1279;
inline constexpr int k4mAValueTooLow = 1280;
inline constexpr int kNo20mAValue = 1281;
inline constexpr int k20mAValueTooHigh = 1282;
inline constexpr int k20mAValueTooLow = 1283;
inline constexpr int kFixedCurrentBelowLowAlarm = 1285;  // "%2.2f" of the low alarm level
inline constexpr int kFixedCurrentAboveHighAlarm = 1286; // "%2.2f" of the high alarm level
inline constexpr int kFixedCurrentSet = 1287;            // "%2.2f" of the current
inline constexpr int kFixedCurrentFailed = 1288;         // "%2.2f" of the current
inline constexpr int kFactoryModeFailed = 1289;
inline constexpr int kUserModeFailed = 1290;
inline constexpr int kStatusUnreadable = 1291;
inline constexpr int kResetFailed = 1292;
inline constexpr int kFactoryModeSet = 1293;
inline constexpr int kErrorsAfterReset = 1296;
inline constexpr int kCalUnitsUnreadable = 1297;
inline constexpr int kCalUnitsNotAllowed = 1298;
inline constexpr int kRangeUnitsUnreadable = 1299;
inline constexpr int kSensorTypeUnreadable = 1300;
inline constexpr int kCalParametersInvalid = 1301;
inline constexpr int kLowerPointOutOfRange = 1302;
inline constexpr int kUpperPointOutOfRange = 1303;
inline constexpr int kStatusForbidsTrim = 1304;
inline constexpr int kTrimPointTooFar = 1305;
inline constexpr int kLowerTrimDone = 1306;
inline constexpr int kUpperTrimDone = 1307;
inline constexpr int kCalibrationWait = 1309;
inline constexpr int kResetWait = 1310;
inline constexpr int kLoopCalibrationAborted = 1311;
inline constexpr int kNoFixedCurrent = 1326;
inline constexpr int kNoLowerPoint = 1327;
inline constexpr int kNoUpperPoint = 1328;
inline constexpr int kSensorLimitsUnreadable = 1330;
inline constexpr int kTrimRepeat = 1331;
inline constexpr int kPlaceAtLowerPoint = 1332;
inline constexpr int kPlaceAtUpperPoint = 1333;
inline constexpr int kLoopTrimRepeat = 1341;

// The pages: input messages, the first id of each page's tool tips (the others follow by id, in the
// order the page lists its controls), the send checks (the first of each page; the others follow in
// the order of the checks).
inline constexpr int kDampingOutOfRange = 901; // "Введите значение от 0 до 32"
inline constexpr int kInvalidCharacter = 902;  // "Неверный символ " followed by the character
inline constexpr int kLowAlarmTypeNote = 903;
inline constexpr int kTipTag = 1206;               // 1206-1218: the basic page
inline constexpr int kTipAlarmType = 1219;         // 1219-1225: the advanced page
inline constexpr int kTipMeasuredValue = 1226;     // 1226-1236: the information page
inline constexpr int kTipDate = 1245;              // the information page's date
inline constexpr int kLevelsIncomplete = 1253;     // 1253-1262: the advanced page's checks
inline constexpr int kUnitsWithoutSensor = 1263;   // 1263-1271: the basic page's checks
inline constexpr int kTipCalUnits = 1312;          // 1312-1325: the calibration page
inline constexpr int kTipSensorCalibration = 1329; // the sensor's "Начать калибровку"

// Captions of the question box's buttons.
inline constexpr int kButtonCancel = 1335;   // "Отмена" (Cancel)
inline constexpr int kButtonRetry = 1336;    // "Повторить"
inline constexpr int kButtonContinue = 1337; // "Продолжить" (OK)
inline constexpr int kButtonYes = 1338;      // "Да"
inline constexpr int kButtonNo = 1339;       // "Нет"
inline constexpr int kButtonAbort = 1340;    // "Отмена" (Abort)

// Texts without a resource id: the document framework's file messages, the fixed-current reset
// failure, and the desktop program's own texts.
inline constexpr int kUnexpectedFileFormat = 20100; // "Unexpected file format."
inline constexpr int kFailedToOpenDocument = 20101; // "Failed to open document."
inline constexpr int kFailedToSaveDocument = 20102; // "Failed to save document."
inline constexpr int kAskToSave = 20103;            // "Save changes to %1?"
inline constexpr int kAllFilesFilter = 20104;       // second filter of the file dialogs
inline constexpr int kPortBusyMark = 20105;         // " (занят)" after a port's name
inline constexpr int kVersionPrefix = 20106;        // "Версия: " before the program's version
inline constexpr int kPortVanished = 20107;         // %1: the port's name
inline constexpr int kPrintFailed = 20108;          // %1: the printer or file
inline constexpr int kPrinterNotFound = 20109;      // %1: the printer's name
inline constexpr int kFixedCurrentResetFailed = 20110;
inline constexpr int kProgramUsage = 20111;   // the command line of 4810PC
inline constexpr int kNoDisplay = 20112;      // 4810PC started without a display
inline constexpr int kStopMonitoring = 20113; // the monitoring button while monitoring runs
inline constexpr int kSaveCsv = 20114;        // the information page's "save as CSV" button
inline constexpr int kCsvFilter = 20115;      // its file dialog's filter
inline constexpr int kCsvSaveFailed = 20116;  // %1: the file and the system's reason
inline constexpr int kTipSaveCsv = 20117;     // its tool tip
inline constexpr int kChartNoSamples = 20118; // nothing monitored yet to save
inline constexpr int kTipChart = 20119;       // the chart's tool tip
// Closing the window and the loop output the program left fixed (20150-20159).
inline constexpr int kOperationRunsOnClose = 20150; // wait for the operation, or stop it?
inline constexpr int kOutputFixedOnClose = 20151;   // "%2.2f" of the current: release it?
inline constexpr int kOutputStaysFixed = 20152;     // "%2.2f" of the current: releasing it failed
inline constexpr int kPortSimulatedMark = 20190; // " (симулятор)" after a simulated port's name
inline constexpr int kPortNoModemLinesMark = 20191; // after a port the driver found without DTR/RTS

// Status prompts of the commands (the command's id): the tip, a line break, the short form.
inline constexpr int kPromptReadDevice = 32783;
inline constexpr int kPromptRefresh = 32785;
inline constexpr int kPromptPortSettings = 32786;
inline constexpr int kPromptSendBasic = 32790;
inline constexpr int kPromptSendAdvanced = 32791;

// The application title: caption of the question box, name of the settings.
inline constexpr int kApplicationTitle = 57344;

// The document framework's prompts of the standard commands and its name of a new document.
inline constexpr int kPromptNew = 57600;
inline constexpr int kPromptOpen = 57601;
inline constexpr int kPromptSave = 57603;
inline constexpr int kPromptSaveAs = 57604;
inline constexpr int kPromptRecentFile = 57616;
inline constexpr int kPromptAbout = 57664;
inline constexpr int kPromptExit = 57665;
inline constexpr int kUntitled = 61443;

// Captions of menu 101 and of dialog templates 104 (main form), 105-107 and 1238 (pages), 108 (port
// settings) and 109 (About box).
inline constexpr int kMenuFile = TemplateText(101, 1);
inline constexpr int kMenuConnection = TemplateText(101, 2);
inline constexpr int kMenuHelp = TemplateText(101, 3);
inline constexpr int kMainOpenButton = TemplateText(104, 188);
inline constexpr int kMainLoadButton = TemplateText(104, 189);
inline constexpr int kPortDialogCaption = TemplateText(108, 0);
inline constexpr int kPortDialogOk = TemplateText(108, 1);
inline constexpr int kPortDialogCancel = TemplateText(108, 2);
inline constexpr int kPortDialogGroup = TemplateText(108, 119);
inline constexpr int kPortDialogLabel = TemplateText(108, 179);
inline constexpr int kAboutCaption = TemplateText(109, 0);
inline constexpr int kAboutOk = TemplateText(109, 1);
inline constexpr int kAboutLink = TemplateText(109, 186);
inline constexpr int kAboutProgram = TemplateText(109, 189);
inline constexpr int kAboutMaker = TemplateText(109, 190);
} // namespace str

// The text of string `id`; empty when the table has no such string.
std::string_view LoadString(int id);

struct StringEntry {
    int id;
    std::string_view text;
};

// The whole table, ordered by id.
std::span<const StringEntry> StringTable();

// UTF-16 text (of the model: the tag and the other texts a transmitter holds) as UTF-8; a lone
// surrogate becomes U+FFFD.
std::string Utf8(std::u16string_view text);

} // namespace zelhart::hart
