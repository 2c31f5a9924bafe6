#pragma once
// The hand-written documents under tests/xmlrpc/golden, read byte for byte.

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace xrpctest {

inline std::string Golden(const std::string& name)
{
    std::ifstream in(std::string(XRPC_GOLDEN_DIR) + "/" + name, std::ios::binary);
    if (!in)
        throw std::runtime_error("missing golden document " + name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace xrpctest
