// The world every benchmark works in, scripted on the fake product layer or
// written to a directory database: cell 1 (number 4711); client 10's data of
// app type 33 is indexed by cloud 1 and erased at one path.
#pragma once

namespace bench {

constexpr int kCellId = 1;
constexpr int kCellNumber = 4711;
constexpr int kAppType = 33;
constexpr int kOneServerClient = 10;
constexpr char kErasePath[] = "/home/ann/photos";

// Cloud c is served by client 100 + c.
constexpr int serverOfCloud(int cloud) { return 100 + cloud; }

// Elements of every prune.
constexpr int kPruneElements = 10000;

}  // namespace bench
