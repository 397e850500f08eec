// The CI servers a call would reach, as the directory lists them. tqci asks
// before calling the helper, through the same product libraries, so that a
// call that would send nothing is reported as such instead of as a success.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct Reach {
    // False when the directory could not answer: the helper call decides
    // then, and a failure is reported with `reasonWhenUnknown`.
    bool known = false;
    std::vector<int> servers;  // client ids of the CI servers, one per cloud served
    // Each cloud the directory answered for, with its CI server if it has one.
    std::map<int, std::optional<int>> serverOfCloud;
    // Why nothing would be sent, naming what was asked.
    std::string reasonWhenNone;
    std::string reasonWhenUnknown;

    bool nothingToSend() const { return known && servers.empty(); }
};

// The CI servers of the clouds that index a client's data of an application type.
Reach serversOfClient(int clientId, int appType);
// The CI servers of the clouds that index an application's data.
Reach serversOfApplication(int applicationId);
// The CI servers of the given clouds (a RuRizoze erase, a prune list).
Reach serversOfClouds(const std::vector<int>& cloudIds);
