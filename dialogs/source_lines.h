// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The source line numbers the run log and the internal-error boxes carry. They are fixed
// numbers, not where the code now stands: readers of the run log (the operator, support,
// scripts that grep it) know a line by its number, so a number never changes when code
// moves, and a new message takes a number of its own. The numbers the original program
// printed are kept as they were; 263 tags both the warning box and "Open serial port",
// as it always has. The file names shown with an internal error are fixed the same way.
namespace source_line {

inline constexpr unsigned registerOpened = 65;
inline constexpr unsigned commandOutcome = 93;
inline constexpr unsigned registerEventsLeftAtEnd = 97;
inline constexpr unsigned dataFileWritten = 110;
inline constexpr unsigned dataFileIncomplete = 115;
inline constexpr unsigned programStart = 118;
inline constexpr unsigned programPath = 120;
inline constexpr unsigned temporaryFilesPath = 122;
inline constexpr unsigned confirmQuestion = 129;
inline constexpr unsigned convertingKeptDownload = 130;
inline constexpr unsigned keptDownloadNotReopened = 138;
inline constexpr unsigned keptDownloadNotConverted = 143;
inline constexpr unsigned registerEventNotRecorded = 151;
inline constexpr unsigned sessionBusy = 153;
inline constexpr unsigned downloadStatus = 155;
inline constexpr unsigned answerYes = 176;
inline constexpr unsigned answerNo = 181;
inline constexpr unsigned collectorCannotReturn = 195;
inline constexpr unsigned stoppedDownloadEnded = 198;
inline constexpr unsigned collectorPrivatePort = 224;
inline constexpr unsigned downloadUnitTaken = 235;
inline constexpr unsigned intermediateFileRefused = 249;
inline constexpr unsigned errorBox = 255;
inline constexpr unsigned setupInternalError = 260;
inline constexpr unsigned openSerialPort = 263;
inline constexpr unsigned warningBox = 263;
inline constexpr unsigned invalidPortAtOpen = 268;
inline constexpr unsigned keptDownloadNotCreated = 272;
inline constexpr unsigned collectorLockNotWritten = 273;
inline constexpr unsigned infoBox = 276;
inline constexpr unsigned mainInternalError = 277;
inline constexpr unsigned dataDirectoryNotCreated = 294;
inline constexpr unsigned programEnd = 303;
inline constexpr unsigned portNotOpened = 312;
inline constexpr unsigned deviceGone = 317;
inline constexpr unsigned downloadFigures = 318;
inline constexpr unsigned downloadKept = 320;
inline constexpr unsigned keptDownloadFailed = 322;
inline constexpr unsigned captureWriteFailed = 329;
inline constexpr unsigned downloadStopped = 332;
inline constexpr unsigned captureFailureTold = 340;
inline constexpr unsigned downloadStoppedByOperator = 349;
inline constexpr unsigned downloadWithoutPrompt = 356;
inline constexpr unsigned settingsPortNotWritten = 378;
inline constexpr unsigned unitLine = 381;
inline constexpr unsigned setupPortChanged = 383;
inline constexpr unsigned closeSerialPort = 384;
inline constexpr unsigned setupDirectoryChanged = 386;
inline constexpr unsigned invalidPortAtClose = 389;
// Sharing with the organisation's server (fleet/), told by the pusher's thread.
inline constexpr unsigned fleetServerNotReached = 1501;
inline constexpr unsigned fleetServerReached = 1502;
inline constexpr unsigned fleetRefused = 1503;
inline constexpr unsigned fleetConflict = 1504;
inline constexpr unsigned fleetBytesNotSent = 1505;
inline constexpr unsigned fleetRefusalsQueued = 1506;
inline constexpr unsigned fleetLaptopIdNotKept = 1507;
inline constexpr unsigned fleetSlowLink = 1508;
// Sharing as the windows run it: started, stopped, new settings, reads from the server.
inline constexpr unsigned fleetSharingStarted = 1700;
inline constexpr unsigned fleetSharingStopped = 1701;
inline constexpr unsigned fleetSettingsChanged = 1702;
inline constexpr unsigned fleetSettingsNotWritten = 1703;
inline constexpr unsigned fleetHistoryNotRead = 1704;
inline constexpr unsigned fleetOtherDownload = 1705;
inline constexpr unsigned fleetOthersNotChecked = 1706;
inline constexpr unsigned fleetUnitsNotRead = 1710;
inline constexpr unsigned fleetContactNotKept = 1711;
// The organisation's site facts read from the server and kept (fleet/site_visit.h).
inline constexpr unsigned sharingSitesLearnt = 1720;
// Downloads of an earlier program judged again at the first start after the upgrade.
inline constexpr unsigned keptJudgedAgain = 1800;
// xrq-collect's push at its end (--push-wait).
inline constexpr unsigned collectorShared = 1650;
inline constexpr unsigned collectorShareWaiting = 1651;
// xrq-collect --site: what was recorded at the site, or why nothing was.
inline constexpr unsigned collectorSiteRecorded = 1660;
inline constexpr unsigned collectorSiteNotRecorded = 1661;
inline constexpr unsigned collectorSitesLearnt = 1662;
inline constexpr unsigned settingsDirectoryNotWritten = 391;
inline constexpr unsigned bytesAfterPrompt = 401;
inline constexpr unsigned conversionNotSafe = 411;
inline constexpr unsigned collectorPortAndFolder = 421;
inline constexpr unsigned conversionDetail = 428;
inline constexpr unsigned conversionFailed = 437;
inline constexpr unsigned statusLine = 438;
inline constexpr unsigned qtMessage = 443;
inline constexpr unsigned collectorStarted = 482;
inline constexpr unsigned collectorEnded = 496;
inline constexpr unsigned waitingForStoppedDownload = 522;
inline constexpr unsigned commandSent = 541;
inline constexpr unsigned replyFound = 556;
inline constexpr unsigned stopPressed = 689;
inline constexpr unsigned notConverted = 740;
inline constexpr unsigned exitWaits = 817;
inline constexpr unsigned noComports = 933;
// The download's verdict (1000-1099).
inline constexpr unsigned downloadUnjudgedBytes = 1000;
inline constexpr unsigned downloadNote = 1001;
inline constexpr unsigned downloadLineErrors = 1002;
inline constexpr unsigned downloadNotVerified = 1003;
// The unit register's trouble and its journal (1100-1199).
inline constexpr unsigned registerWaiting = 1100;
inline constexpr unsigned registerWritingAgain = 1101;
inline constexpr unsigned registerEventRefused = 1102;
inline constexpr unsigned registerEventsJournaled = 1103;
inline constexpr unsigned registerJournalFailed = 1104;
inline constexpr unsigned registerJournalReplayed = 1105;

// Each download its own recovery; a unit still sending; what cannot be written.
inline constexpr unsigned conversionMarkerNotWritten = 1200;
inline constexpr unsigned orphanGone = 1201;
inline constexpr unsigned orphanConverted = 1202;
inline constexpr unsigned earlierSendingRead = 1203;
inline constexpr unsigned earlierSendingKept = 1204;
inline constexpr unsigned jsonNotWritten = 1205;
inline constexpr unsigned collectorConnectAgain = 1206;
// The series (series/): what a download added to each data set's series, or why not.
inline constexpr unsigned seriesTaken = 1400;
inline constexpr unsigned seriesNotTaken = 1401;
// xrq-collect --clear: refused (and why), or done.
inline constexpr unsigned collectorClearRefused = 1402;
inline constexpr unsigned collectorCleared = 1403;
// A download's data sets went into a folder of their own: their numbered names were taken.
inline constexpr unsigned dataSetsInOverflowFolder = 1404;
// xrq-collect --clear: the first of the two reads of the memory, kept raw only.
inline constexpr unsigned collectorFirstRead = 1405;

} // namespace source_line

namespace source_file {

inline constexpr const char* mainWindow = "fMain";
inline constexpr const char* serialSession = "fSerial.cpp";
inline constexpr const char* setupDialog = "fSetup.cpp";

} // namespace source_file
