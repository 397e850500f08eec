#include "tqci/PruneList.h"

#include <sstream>

#include "common/Integer.h"

bool readPruneList(std::istream& in, std::vector<_PruneElem>& elements, PruneListError& error) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::istringstream fields(line);
        std::vector<std::string> tokens;
        for (std::string token; fields >> token;) {
            tokens.push_back(token);
        }
        if (tokens.empty() || tokens[0][0] == '#') {
            continue;
        }
        if (tokens.size() != 3 && tokens.size() != 5) {
            error = {number,
                     "expected 3 or 5 numbers: cellNumber archiveFileId cloudId [aux1 aux2]"};
            return false;
        }
        int32_t values[5] = {0, 0, 0, 0, 0};
        for (size_t i = 0; i < tokens.size(); ++i) {
            if (!tqcommon::parseInteger(tokens[i], values[i])) {
                error = {number, "'" + tokens[i] + "' is not a 32-bit integer"};
                return false;
            }
        }
        elements.push_back(_PruneElem{values[0], values[1], values[2], values[3], values[4], 0});
    }
    return true;
}
