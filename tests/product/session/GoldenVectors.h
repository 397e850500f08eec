// Records and the exact XDR bodies they travel as.
#pragma once

#include <string>

#include "TqMessages.h"

namespace sessiontest {

inline std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int value : values) {
        out.push_back(static_cast<char>(value));
    }
    return out;
}

inline tqmsg::AfPruneReq goldenPrune() {
    tqmsg::AfPruneReq record{};
    record.cloudId = 3;
    record.vornCellNumber = 1001;
    record.archiveFileId = 77;
    record.auxValue1 = -1;
    record.auxValue2 = 9;
    return record;
}

inline const std::string kGoldenPruneBody =
    bytes({0,    0,    0,    0,    0,    0,    0,    3,     // cloudId
           0,    0,    0,    0,    0,    0,    0x03, 0xE9,  // vornCellNumber 1001
           0,    0,    0,    0,    0,    0,    0,    0x4D,  // archiveFileId 77
           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // auxValue1 -1
           0,    0,    0,    0,    0,    0,    0,    9,     // auxValue2
           0,    0,    0,    0});                           // reserved

inline const std::string kGoldenPruneHeader = bytes({0x54, 0x51, 0x53, 0x57,  // magic "TQSW"
                                                     0, 1, 0, 0,              // version 1, reserved
                                                     0x0E, 0, 0x07, 0x01,     // message code
                                                     0, 0, 0, 44});           // body length

inline char kGoldenPath[] = "/ab";

inline tqmsg::EraseDataReq goldenEraseRequest() {
    tqmsg::EraseDataReq record{};
    record.vornCellNumber = 2;
    record.clientId = 5;
    record.appType = 33;
    record.path = kGoldenPath;
    record.eraseKind = tqmsg::kEraseKindRuRizoze;
    return record;
}

inline const std::string kGoldenEraseRequestBody = bytes(
    {0, 0, 0, 2, 0,   0,   0,   5, 0, 0, 0, 0, 0, 0, 0, 33,  // cell, client, reserved, appType
     0, 0, 0, 3, '/', 'a', 'b', 0,                           // path "/ab" and its padding
     0, 0, 0, 18});                                          // eraseKind

inline tqmsg::EraseDataResp goldenEraseResponse() {
    tqmsg::EraseDataResp record{};
    for (int i = 0; i < 24; ++i) {
        record.uninterpreted[i] = static_cast<char>(i);
    }
    record.status = 1;
    record.tail = -2;
    return record;
}

inline const std::string kGoldenEraseResponseBody =
    bytes({0,    1,    2,    3,   4,  5,  6,  7,  8,  9,  10, 11, 12, 13,
           14,   15,   16,   17,  18, 19, 20, 21, 22, 23, 0,  0,  0,  1,  // status
           0xFF, 0xFF, 0xFF, 0xFE});                                      // tail -2

constexpr unsigned long kOtherCode = 0x0E000799;
inline const std::string kGoldenOpaqueBody = bytes({0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0});

}  // namespace sessiontest
