// A load's folder made a BagIt bag (RFC 8493, version 1.0): the tape's files under data/,
// their SHA-256 and SHA-512 in manifest-sha256.txt and manifest-sha512.txt, bagit.txt,
// bag-info.txt, and the session's own files (checksum file, report, log) as tag files, all
// of them in the tag manifests. The manifests grow as each file is copied (under temporary
// names); Seal writes the rest and renames bagit.txt into place last, so a folder whose
// session failed or broke off never passes for a complete bag.
#pragma once
#include "platform/FileDescriptor.h"

#include <cstdint>
#include <string>
#include <vector>

// Why folder cannot become a bag, or "" when it can: a bag is made only in a folder that is
// missing or empty, so that nothing the user had there ends up in it (or is moved or lost).
std::string BagFolderRefusal(const std::string& folder);

// The payload folder of a bag: the data files' names begin with it.
inline constexpr const char* kBagPayloadFolder = "data";

class BagWriter {
public:
    // folder: the bag's top; logName: the session log's tag file, relative to it.
    BagWriter(std::string folder, std::string logName);
    ~BagWriter();
    BagWriter(const BagWriter&) = delete;
    BagWriter& operator=(const BagWriter&) = delete;

    // The session's log as it is written. Kept in memory until StartLog, then in the file.
    void AppendLog(const std::string& text);
    // Makes the log's tag file (the session has reached the tape) with what came before.
    void StartLog();
    bool LogStarted() const { return m_log.valid() || m_bLogFailed; }

    // A whole file of the payload: name relative to the bag ("data/..."), its size and
    // digests. Its lines go to the temporary manifests at once.
    void AddPayload(const std::string& name, uint64_t size, const std::string& sha256, const std::string& sha512);

    // Writes bag-info.txt (with Payload-Oxum and Bagging-Date added to info's lines), the
    // manifests, the tag manifests over tagFiles (relative names) and the bag's own files,
    // then bagit.txt. Checks first that the payload folder holds exactly the files added.
    // False with why in failure; the folder is then no bag (no bagit.txt).
    bool Seal(const std::vector<std::pair<std::string, std::string>>& info, const std::vector<std::string>& tagFiles,
              std::string& failure);
    // The session did not complete: the temporary manifests go; the log stays as written.
    void Abandon();

    uint64_t PayloadFiles() const { return m_nFiles; }
    uint64_t PayloadBytes() const { return m_nBytes; }

private:
    std::string Path(const std::string& name) const { return m_strFolder + "/" + name; }
    bool CheckPayload(std::string& failure) const;

    std::string m_strFolder;
    std::string m_strLogName;
    std::string m_strPendingLog;
    UniqueFd m_log;
    bool m_bLogFailed = false;
    UniqueFd m_manifest256;
    UniqueFd m_manifest512;
    bool m_bManifestFailed = false;
    uint64_t m_nFiles = 0;
    uint64_t m_nBytes = 0;
    bool m_bDone = false;
    bool m_bCommitted = false;  // the manifests have their final names
};

// A manifest line: "HEX  NAME\n", with CR, LF and "%" in NAME written %0D, %0A and %25.
std::string BagManifestLine(const std::string& hex, const std::string& name);
// A bag-info.txt value on one line: control characters become blanks.
std::string BagInfoValue(const std::string& text);
// "Label: value\n", folded into lines of at most 79 characters where the value has blanks.
std::string BagInfoLine(const std::string& label, const std::string& value);
