#pragma once
// The command record: one queued command of the session, from PostCommand or GeneralCommand
// to its answer.  It travels to the owner with message 1037 as a 67-byte little-endian packed
// block (the layout below), followed by the answer frame; the pointer fields of the block are
// 0, the bytes they point to travel in the record itself.
//
//   offset size field            offset size field
//   0      1    used             34     4    frame (pointer)
//   1      4    post handle      38     4    reserved
//   5      1    extra length     42     4    GUID
//   6      8    full address     46     4    request copy (pointer)
//   14     4    device word      50     1    fast
//   18     1    state            51     4    extra (pointer)
//   19     2    routing          55     1    flag
//   21     4    frame length     56     2    word (-1, or the frame's bytes for the second form)
//   25     1    reserved         58     8    time (days since 30 December 1899)
//   26     4    message          66     1    flag
//   30     4    sequence number

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// Kinds of entry (the message field) that the session itself gives.
enum : uint32_t {
    kRecordGeneralCommand = 544,
    kRecordReadListOperation = 1035,
    kRecordReadListRequest = 1037,
    kRecordZoneRequest = 111222333,
    kRecordBatchEnd = 40,
};

struct TCommandRecord
{
    static constexpr size_t kSize = 67;

    bool used = false;
    uint32_t postHandle = 0;
    uint8_t extraLength = 0;
    int64_t fullAddress = 0;
    uint32_t deviceWord = 0;
    uint8_t state = 0;
    std::array<uint8_t, 2> routing{}; // line (or general command's address), kind (9, 7 or 0)
    uint8_t reserved1 = 0;
    uint32_t message = 0;
    uint32_t sequence = 0;
    uint32_t reserved2 = 0;
    int32_t guid = 0;
    uint8_t fast = 0;
    uint8_t flag1 = 0;
    int16_t word = -1;
    double time = 0;
    uint8_t flag2 = 0;

    // The session's own record (a read-list operation or request), never an owner's: the
    // message alone cannot tell, since an owner may post with any message and number.  It does
    // not travel in the block.
    bool sessionOwn = false;

    std::vector<uint8_t> frame;       // the request; after sending, the answer (empty: none)
    std::vector<uint8_t> requestCopy; // read-list requests: the request frame
    std::vector<uint8_t> extra;       // optional block (a search-progress record, ...)

    // The 67-byte block followed by the frame.
    std::vector<uint8_t> ToPayload() const;
    // nullopt when the payload is shorter than the block or its frame length does not fit.
    static std::optional<TCommandRecord> FromPayload(const std::vector<uint8_t>& payload);
    // A search-progress record: an extra block whose first 32-bit word is 1..20.
    bool HasProgressRecord() const;
};
