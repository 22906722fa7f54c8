// The texts the station-alias dialog writes to the console, byte for byte.
//
// The Chinese texts exist as GBK bytes (what a console on code page 936 shows) and as
// the same texts in UTF-8 (what a Linux terminal shows). The English texts are ASCII
// and the same in both.
#pragma once

enum class ConsoleEncoding { kGbk, kUtf8 };

// The dialog's messages, numbered in the order in which they first appear. Each is a
// printf format; most end in line feed, carriage return and one blank.
enum DialogMessage : int {
    kMsgBanner = 1,          // tool name and version
    kMsgSlaveLine = 2,       // slave number and name (%d, %s)
    kMsgSlaveLineZh = 3,     // slave number and name (%d, %s)
    kMsgRule29 = 4,          // 29 dashes
    kMsgRestartHint = 5,     // restart the slave before using the tool
    kMsgRestartHintZh = 6,   // make sure the slave module has been restarted
    kMsgProductName = 7,     // product name (%s)
    kMsgProductNameZh = 8,   // product name (%s)
    kMsgCurrentIdZh = 9,     // the module's current config_id (%d)
    kMsgRule30 = 10,         // 30 dashes
    kMsgPrompt = 11,         // asks for the new config_id
    kMsgPromptZh = 12,       // enter config_id, finish with Enter, decimal range
    kMsgEchoZh = 13,         // you entered (%d)
    kMsgDumpEntry = 14,      // one byte of a dump (%02x)
    kMsgFirstDumpEnd = 15,   // end of the first dump
    kMsgNewCrc = 16,         // the new checksum (%02x)
    kMsgWritingZh = 17,      // writing starts
    kMsgAttemptsZh = 18,     // write attempts made (%d)
    kMsgSecondDumpEnd = 19,  // end of the second dump
    kMsgReadBackZh = 20,     // config_id read back after writing (%d)
    kMsgPassed = 21,         // verdict: passed
    kMsgPassedZh = 22,       // write succeeded
    kMsgFailed = 23,         // verdict: failed
    kMsgFailedZh = 24,       // write failed
    kMsgStop = 25,           // stop
    kMsgCloseZh = 26,        // the program has ended: close it and power the slave off
};
enum { kDialogMessageCount = 26 };

// The format of a message in the given encoding; null for a number outside 1..26.
const char* DialogText(int message, ConsoleEncoding encoding);

// True when the message is Chinese text (its two encodings differ).
bool DialogTextIsChinese(int message);

// UTF-8 when the character set of the locale the environment names (LC_ALL, LC_CTYPE,
// LANG) is UTF-8; GBK otherwise, so the C locale gets the original bytes. The
// process's own locale is left as it was.
ConsoleEncoding ConsoleEncodingFromLocale();
