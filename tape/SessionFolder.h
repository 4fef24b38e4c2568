// The folder a load or a capture writes into, looked at before anything is written there and
// held while the session runs: which names the session may write, whether one of them is a
// tape image being read (through any link), whether they fit the file system's name limit,
// and a lock that keeps a second session out of the folder until this one's process is gone.
#pragma once
#include "platform/FileDescriptor.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The names a session may write in one folder: a fixed list, and, for a load, the data
// files "<prefix>NNNN" (four digits or more) and their ".part" names whose number
// `dataNumber` accepts.
struct SessionTargets {
    std::string folder;                 // where the names are, without a trailing "/"
    std::vector<std::string> names;     // plain names in the folder
    bool dataFiles = false;             // a load's: the data names below count
    std::string dataPrefix;
    std::function<bool(int64_t number)> dataNumber;
    bool labelSuffix = false;           // data names may go on "_IDENTIFIER" after the number

    // Whether name (in the folder) is one of them; number is set for a data name.
    bool Covers(const std::string& name, int64_t* number = nullptr) const;
};

// The number a data file's name has after its base: four digits or more ("%04d"); -1 for
// anything else.
int64_t DataFileNumber(const std::string& digits);

// The folder and the last part of "<path>/<base>": where a load's names go and what they
// begin with (a base may hold folders of its own).
void SplitFolderAndPrefix(const std::string& path, const std::string& base, std::string& folder,
                          std::string& prefix);

// The first name of targets that is the same file as one of images (device and inode, links
// followed on both sides), as a path; empty when none is.
std::string FindImageAmongTargets(const SessionTargets& targets, const std::vector<std::string>& images,
                                  std::string* image = nullptr);

// The first data name of targets that exists already (a file, a link, a ".part"); empty
// when none does.
std::string FindExistingDataFile(const SessionTargets& targets);

// The first of names (in folder) longer than the folder's file system allows for a name,
// as a path; empty when all fit. A folder not made yet is judged by the nearest one above.
std::string FindNameTooLong(const std::string& folder, const std::vector<std::string>& names);

// An exclusive lock on a folder, held by this object's descriptor: it is given up when the
// object goes, and with the process however it ends. On a file system that keeps no locks
// the folder is taken without one.
class FolderLock {
public:
    // ERROR_SUCCESS, ERROR_SHARING_VIOLATION when another session holds the folder, or the
    // error of opening it.
    uint32_t Acquire(const std::string& folder);
    bool Held() const { return m_fd.valid(); }
    void Release() { m_fd.Reset(); }

private:
    UniqueFd m_fd;
};
