// Expected console texts for the tests of the creation tool, written out
// literally so that a changed character in the program shows up as a test
// failure.
#pragma once

#include <string>

namespace creation_tool_test {

inline const std::string kBanner =
    "Vexmon Database Creation Tool\n"
    "---------------------------------------------\n";

inline const std::string kUsage =
    "Usage:\n"
    " -h        : print this help screen\n"
    " -i        : interactive configuration\n"
    " -n        : omit 'admin' user creation\n"
    " -d {path} : create default database at {path}\n"
    " - - - - - - advanced options - - - - - - - - \n"
    " -c        : create completely empty database\n"
    " -f        : force, do not ask questions\n"
    "\n";

inline const std::string kMdbIntro =
    "\n"
    "The meta database can be placed either in a file\n"
    "or on a block device. If placed in a file, it\n"
    "will grow as needed. For performance reasons it\n"
    "may be desirable to place it on a block device\n"
    "\n";
inline const std::string kMdbPathPrompt = "Path to meta database: ";

inline const std::string kJournalTypeIntro =
    "\n"
    "The meta database journal can optionally be\n"
    "placed on a different device than the meta\n"
    "database itself. This can be used to achieve\n"
    "better scalability, by utilizing multiple disk\n"
    "systems. The default however is to place the\n"
    "journal inside the meta database. This is\n"
    "recommended, unless you have specific reasons\n"
    "not to do so.\n"
    "\n";
inline const std::string kJournalTypePrompt = "Journal type (default: internal): [i/e] ";
inline const std::string kJournalTypeRefused =
    "Please enter either 'i' for internal or 'e' for external\n";

inline const std::string kJournalPathIntro =
    "\n"
    "Please specify a full path to the device or\n"
    "directory in which the journal should be placed.\n"
    "\n";
inline const std::string kJournalPathPrompt = "Path to journal: ";

inline const std::string kJournalSizeIntro =
    "\n"
    "The journal size is a trade-off between disk\n"
    "and CPU utilization. If you have a fast CPU and\n"
    "a slow disk, a large journal is good. If your\n"
    "CPU is slow and your disk fast, a smaller\n"
    "journal is better.\n"
    "\n";
inline const std::string kJournalSizePrompt = "Journal size [megabytes] (recommended: 8): ";

inline const std::string kChainsIntro =
    "\n"
    "The number of chains is usually set to 2 or 3.\n"
    "It can be no lower than 2 and no higher than 5.\n"
    "A high number may have a negative impact on\n"
    "performance, whereas a low number will lower\n"
    "the amount of fault-tolerance in case parts of\n"
    "your database file are corrupted (by bad blocks\n"
    "on the disk, for example).\n"
    "\n";
inline const std::string kChainsPrompt = "Number of chains (recommended: 3): ";

inline const std::string kBlockSizeIntro =
    "\n"
    "The block size can be varied from 1024 to 16384, but\n"
    "must always be a power of two. The block size\n"
    "determines the maximum database size possible,\n"
    "and influences database performance. An 8192\n"
    "byte block size limits the database to 32 TB.\n"
    "A 4096 byte block size limits it to 16 TB.\n"
    "\n";
inline const std::string kBlockSizePrompt = "Block size (recommended: 8192): ";

inline const std::string kChecksIntro =
    "\n"
    "An estimate of the number of checks this database\n"
    "will hold, can help the creation of the database\n"
    "and improve performance. This number need not be\n"
    "precise - specifying a number higher than the\n"
    "actual amount is recommended.\n"
    "\n";
inline const std::string kChecksPrompt = "Estimated number of checks (recommended: 1000): ";

inline const std::string kTsdbPathIntro =
    "\n"
    "The TSDB can be placed either on a block-special\n"
    "or in a file on a file-system. Please specify the\n"
    "path to the block-special device, or the wanted\n"
    "directory on a file-system.\n"
    "\n";
inline const std::string kTsdbPathPrompt = "Path to TSDB: ";

inline const std::string kCannotStat = "Cannot stat given path\n";
inline const std::string kPathRefused = "Please specify either a directory or a block-special\n";
inline const std::string kNotANumber = "Please enter a number\n";
inline const std::string kConfirmPrompt = "Is the above information correct?  (y/n): ";

inline std::string range_message(int low, int high) {
  return "Please enter a number between " + std::to_string(low) + " and " + std::to_string(high) +
         "\n";
}

// The MDB summary; `tail_lines` are the journal path and size lines shown.
inline std::string mdb_summary(const std::string& path, const std::string& type,
                               const std::string& tail_lines) {
  return "\nWill create a meta database as follows:\n"
         "---------------------------------------------\n"
         "MDB path:     " +
         path +
         "\n"
         "Journal type: " +
         type + "\n" + tail_lines;
}

inline std::string tsdb_summary(const std::string& chains, const std::string& block,
                                const std::string& checks, const std::string& path) {
  return "\nWill create a time series database as follows:\n"
         "---------------------------------------------\n"
         "Number of chains: " +
         chains +
         "\n"
         "Block size:       " +
         block +
         "\n"
         "Initial checks:   " +
         checks +
         "\n"
         "TSDB placed in:   " +
         path + "\n\n";
}

}  // namespace creation_tool_test
