// A stand-in for the st and sg drivers: a tape of blocks and filemarks that read() and the
// tape ioctls walk the way st does, plus one-shot failures a test arms.
#pragma once
#include "platform/linux/StSystem.h"

#include <scsi/sg.h>
#include <sys/mtio.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

class FakeSt : public StSystem {
public:
    static constexpr int kFilemark = -1;
    static constexpr int kBadBlock = -2;  // a block the drive cannot read (EIO, passed)

    // The tape: block lengths, kFilemark for a filemark; the recorded data end after it.
    // In fixed-block mode a read takes size / blockSize blocks (size must be a multiple, as
    // st demands without read-ahead) and stops early at anything else; a block of another
    // length fails it with EIO and is left ahead, as st leaves it after spacing back.
    std::vector<int> tape;
    size_t position = 0;
    uint32_t blockSize = 0;  // st's current block size, 0 variable
    bool online = true;
    bool doorOpen = false;
    bool writeProtected = false;
    bool endOfTape = false;  // the drive reports the physical end (GMT_EOT)
    bool atEndOfData = false;  // st has seen the blank check (GMT_EOD)
    // st knows the block number within the file (mt_blkno; -1 once lost). A data error loses
    // it, also one a test arms as a read override; a filemark or rewind finds it again.
    bool blockNumberKnown = true;
    // The drive passes a filemark (or meets the beginning) as the last record of a backward
    // MTBSR without reporting it (scsi_debug's tape does): st then counts one file too many.
    bool silentFilemarkAtEndOfBackspace = false;
    long fileNumberSkew = 0;

    // Paths that fail to open, with the errno; a path listed for one flag set only fails then.
    std::map<std::string, int> openErrors;
    std::map<std::string, int> openErrorsReadWrite;
    std::deque<ssize_t> readOverrides;   // next read()s return these (>= 0: bytes delivered)
    std::deque<int> operationErrors;     // next MTIOCTOPs fail with these errnos (0: pass)
    int statusError = 0;                 // MTIOCGET fails with this errno
    std::function<int(sg_io_hdr&)> scsi; // answers SG_IO
    std::string scsiPath;                // the node the SG_IO being answered was sent to

    struct OpenCall {
        std::string path;
        int flags;
    };
    std::vector<OpenCall> opens;
    std::vector<mtop> operations;
    std::vector<std::vector<uint8_t>> cdbs;
    int openCount = 0;  // descriptors not yet closed

    int Open(const std::string& path, int flags) override;
    void Close(int fd) override;
    ssize_t Read(int fd, void* buffer, size_t size) override;
    int TapeOperation(int fd, const mtop& op) override;
    int TapeStatus(int fd, mtget& status) override;
    int ScsiCommand(int fd, sg_io_hdr& request) override;

    // Content of a block as the fake writes it: its length in its first four bytes.
    static uint32_t BlockTag(const void* data);

private:
    int m_nNextFd = 10;
    std::map<int, std::string> m_open;
};

// An SG_IO answer: READ BLOCK LIMITS data, or a CHECK CONDITION with fixed-format sense.
std::function<int(sg_io_hdr&)> BlockLimitsAnswer(uint32_t maxLimit, uint16_t minLimit);
void SetCheckCondition(sg_io_hdr& io, uint8_t key, uint8_t asc);
