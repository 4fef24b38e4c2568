// The ASPI for Win32 request blocks, status values and entry points, as our own typed
// definitions. Only the fields the drive scan fills or reads carry meaning; the others keep
// the blocks' familiar shape for providers.
#pragma once
#include <cstdint>

// Status values (SRB_Status and the support-info status byte).
inline constexpr uint8_t SS_PENDING = 0x00;
inline constexpr uint8_t SS_COMP = 0x01;
inline constexpr uint8_t SS_ABORTED = 0x02;
inline constexpr uint8_t SS_ABORT_FAIL = 0x03;
inline constexpr uint8_t SS_ERR = 0x04;
inline constexpr uint8_t SS_INVALID_CMD = 0x80;
inline constexpr uint8_t SS_INVALID_HA = 0x81;
inline constexpr uint8_t SS_NO_DEVICE = 0x82;
inline constexpr uint8_t SS_INVALID_SRB = 0xE0;
inline constexpr uint8_t SS_NO_ADAPTERS = 0xE8;
inline constexpr uint8_t SS_INSUFFICIENT_RESOURCES = 0xE9;

// Command codes (SRB_Cmd).
inline constexpr uint8_t SC_HA_INQUIRY = 0x00;
inline constexpr uint8_t SC_GET_DEV_TYPE = 0x01;
inline constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;
inline constexpr uint8_t SC_ABORT_SRB = 0x03;

// Request flags (SRB_Flags).
inline constexpr uint8_t SRB_DIR_IN = 0x08;
inline constexpr uint8_t SRB_DIR_OUT = 0x10;
inline constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;

inline constexpr uint8_t SENSE_LEN = 14;

// Target status and sense key the scan looks at.
inline constexpr uint8_t STATUS_CHKCOND = 0x02;
inline constexpr uint8_t SENSE_KEY_UNIT_ATTENTION = 0x06;
inline constexpr uint8_t SENSE_KEY_ILLEGAL_REQUEST = 0x05;

// Peripheral device type of a sequential-access device (tape).
inline constexpr uint8_t DTYPE_SEQD = 0x01;

// Every request block starts with this header, so a provider can dispatch on SRB_Cmd.
struct SRB_Header {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
};

struct SRB_HAInquiry {
    uint8_t SRB_Cmd;            // SC_HA_INQUIRY
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t HA_Count;           // number of host adapters
    uint8_t HA_SCSI_ID;         // the adapter's own target id
    uint8_t HA_ManagerId[16];
    uint8_t HA_Identifier[16];
    uint8_t HA_Unique[16];      // [3]: maximum number of targets (8 or 16)
    uint16_t HA_Rsvd1;
};

struct SRB_GDEVBlock {
    uint8_t SRB_Cmd;            // SC_GET_DEV_TYPE
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_DeviceType;
    uint8_t SRB_Rsvd1;
};

struct SRB_ExecSCSICmd {
    uint8_t SRB_Cmd;            // SC_EXEC_SCSI_CMD
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t* SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void* SRB_PostProc;         // with SRB_EVENT_NOTIFY: the AspiEvent to set on completion
    uint8_t SRB_Rsvd2[20];
    uint8_t CDBByte[16];
    uint8_t SenseArea[SENSE_LEN + 2];
};

// Withdraws a pending SRB_ExecSCSICmd. When it answers SS_COMP the provider has let go of
// the request for good: it will neither write the block nor set its event afterwards.
struct SRB_Abort {
    uint8_t SRB_Cmd;            // SC_ABORT_SRB
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};

struct ASPI32BUFF {
    uint8_t* AB_BufPointer;
    uint32_t AB_BufLen;
    uint32_t AB_ZeroFill;
    uint32_t AB_Reserved;
};

// The five entry points, looked up by name in the "WNASPI32" module.
using GetASPI32SupportInfoFn = uint32_t (*)();
using SendASPI32CommandFn = uint32_t (*)(void* srb);
using GetASPI32BufferFn = int (*)(ASPI32BUFF* buffer);
using FreeASPI32BufferFn = int (*)(ASPI32BUFF* buffer);
using TranslateASPI32AddressFn = int (*)(uint32_t* path, uint32_t* devNode);
