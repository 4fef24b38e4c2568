#include "tests/st/FakeSt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

int FakeSt::Open(const std::string& path, int flags)
{
    opens.push_back({path, flags});
    if (auto it = openErrors.find(path); it != openErrors.end())
        return -it->second;
    if (auto it = openErrorsReadWrite.find(path);
        it != openErrorsReadWrite.end() && (flags & O_ACCMODE) == O_RDWR)
        return -it->second;
    int fd = m_nNextFd++;
    m_open[fd] = path;
    ++openCount;
    return fd;
}

void FakeSt::Close(int fd)
{
    if (m_open.erase(fd))
        --openCount;
}

ssize_t FakeSt::Read(int, void* buffer, size_t size)
{
    if (!readOverrides.empty()) {
        ssize_t n = readOverrides.front();
        readOverrides.pop_front();
        if (n == -EIO)
            blockNumberKnown = false;
        return n;
    }
    if (doorOpen)
        return -ENOMEDIUM;
    if (!online)
        return -EIO;
    if (blockSize != 0 && (size == 0 || size % blockSize != 0))
        return -EINVAL;
    const size_t blocks = blockSize != 0 ? size / blockSize : 1;
    size_t delivered = 0;
    for (size_t n = 0; n < blocks; ++n) {
        if (position >= tape.size()) {
            if (delivered > 0)
                break;
            // st: the blank check gives 0 bytes once, then every further read fails.
            if (atEndOfData)
                return -EIO;
            atEndOfData = true;
            return 0;
        }
        const int item = tape[position];
        if (item == kFilemark || item == kBadBlock) {
            if (delivered > 0)
                break;
            ++position;
            if (item == kBadBlock) {
                blockNumberKnown = false;
                return -EIO;
            }
            blockNumberKnown = true;
            return 0;
        }
        const size_t length = static_cast<size_t>(item);
        if (blockSize != 0 && length != blockSize) {
            if (delivered > 0)
                break;
            return -EIO;  // st: "Incorrect block size", spaced back over it
        }
        ++position;
        if (length > size)
            return -ENOMEM;  // variable mode: st skips the block and keeps none of it
        char* block = static_cast<char*>(buffer) + delivered;
        std::memset(block, 0xA5, length);
        uint32_t tag = static_cast<uint32_t>(length);
        std::memcpy(block, &tag, std::min(length, sizeof(tag)));
        delivered += length;
    }
    return static_cast<ssize_t>(delivered);
}

int FakeSt::TapeOperation(int, const mtop& op)
{
    operations.push_back(op);
    if (!operationErrors.empty()) {
        int err = operationErrors.front();
        operationErrors.pop_front();
        if (err != 0)
            return -err;
    }
    switch (op.mt_op) {
    case MTREW:
        position = 0;
        fileNumberSkew = 0;
        atEndOfData = false;
        blockNumberKnown = true;
        return 0;
    case MTFSF:
        for (int passed = 0; passed < op.mt_count;) {
            if (position >= tape.size()) {
                atEndOfData = true;
                return -EIO;
            }
            if (tape[position++] == kFilemark)
                ++passed;
        }
        blockNumberKnown = true;
        return 0;
    case MTBSF:
        atEndOfData = false;
        for (int passed = 0; passed < op.mt_count;) {
            if (position == 0)
                return -EIO;
            if (tape[--position] == kFilemark)
                ++passed;
        }
        blockNumberKnown = false;  // st cannot know where in the file before it is
        return 0;
    case MTFSR:  // a filemark stops it, the tape just past it
        for (int passed = 0; passed < op.mt_count; ++passed) {
            if (position >= tape.size()) {
                atEndOfData = true;
                return -EIO;
            }
            if (tape[position++] == kFilemark) {
                blockNumberKnown = true;
                return -EIO;
            }
        }
        return 0;
    case MTBSR:  // a filemark stops it, the tape just before it
        atEndOfData = false;
        for (int passed = 0; passed < op.mt_count; ++passed) {
            if (position == 0)
                return silentFilemarkAtEndOfBackspace && passed + 1 == op.mt_count ? 0 : -EIO;
            if (tape[position - 1] == kFilemark) {
                --position;
                blockNumberKnown = false;
                if (silentFilemarkAtEndOfBackspace && passed + 1 == op.mt_count) {
                    ++fileNumberSkew;
                    return 0;
                }
                return -EIO;
            }
            --position;
        }
        return 0;
    case MTSETBLK:
        blockSize = static_cast<uint32_t>(op.mt_count);
        return 0;
    case MTOFFL:
        online = false;
        position = 0;
        blockNumberKnown = true;
        return 0;
    case MTLOAD:
        if (doorOpen)
            return -ENOMEDIUM;
        online = true;
        return 0;
    default:
        return -EINVAL;
    }
}

int FakeSt::TapeStatus(int, mtget& status)
{
    if (statusError)
        return -statusError;
    status = {};
    status.mt_type = MT_ISSCSI2;
    status.mt_dsreg = static_cast<long>(blockSize) << MT_ST_BLKSIZE_SHIFT;
    long g = 0;
    if (doorOpen)
        g |= GMT_DR_OPEN(~0L);
    if (online && !doorOpen)
        g |= GMT_ONLINE(~0L);
    if (writeProtected)
        g |= GMT_WR_PROT(~0L);
    if (atEndOfData)
        g |= GMT_EOD(~0L);
    if (endOfTape)
        g |= GMT_EOT(~0L);
    if (position == 0 && online)
        g |= GMT_BOT(~0L);
    status.mt_gstat = g;
    // file and block number as st counts them: filemarks passed, blocks since the last one
    long file = 0, block = 0;
    for (size_t i = 0; i < position && i < tape.size(); ++i) {
        if (tape[i] == kFilemark) {
            ++file;
            block = 0;
        } else {
            ++block;
        }
    }
    status.mt_fileno = file + fileNumberSkew;
    status.mt_blkno = blockNumberKnown ? block : -1;
    return 0;
}

int FakeSt::ScsiCommand(int fd, sg_io_hdr& request)
{
    cdbs.emplace_back(request.cmdp, request.cmdp + request.cmd_len);
    scsiPath = m_open.count(fd) ? m_open[fd] : std::string();
    if (!scsi)
        return -ENOTTY;
    return scsi(request);
}

uint32_t FakeSt::BlockTag(const void* data)
{
    uint32_t tag;
    std::memcpy(&tag, data, sizeof(tag));
    return tag;
}

std::function<int(sg_io_hdr&)> BlockLimitsAnswer(uint32_t maxLimit, uint16_t minLimit)
{
    return [=](sg_io_hdr& io) {
        uint8_t data[6] = {0,
                           static_cast<uint8_t>(maxLimit >> 16),
                           static_cast<uint8_t>(maxLimit >> 8),
                           static_cast<uint8_t>(maxLimit),
                           static_cast<uint8_t>(minLimit >> 8),
                           static_cast<uint8_t>(minLimit)};
        std::memcpy(io.dxferp, data, std::min<size_t>(io.dxfer_len, sizeof(data)));
        io.resid = io.dxfer_len > sizeof(data) ? static_cast<int>(io.dxfer_len - sizeof(data)) : 0;
        io.info = SG_INFO_OK;
        return 0;
    };
}

void SetCheckCondition(sg_io_hdr& io, uint8_t key, uint8_t asc)
{
    uint8_t sense[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, 0, 0, 0, 0, 0};
    std::memcpy(io.sbp, sense, std::min<size_t>(io.mx_sb_len, sizeof(sense)));
    io.sb_len_wr = static_cast<unsigned char>(std::min<size_t>(io.mx_sb_len, sizeof(sense)));
    io.status = 0x02;
    io.masked_status = 0x01;
    io.driver_status = 0x08;  // sense data valid
    io.info = SG_INFO_CHECK;
}
