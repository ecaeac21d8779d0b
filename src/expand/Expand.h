// Expansion of a variable's type into signals: one record per scalar value
// that lies in the variable's storage.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/Model.h"

namespace Model {

struct SignalInfo {
    std::uint32_t address = 0;
    std::int32_t bitOffset = 0;
    std::int32_t bitSize = 0;
    std::uint32_t size = 0;
    std::string_view typeName;
    std::string name;
    std::string_view location;
    std::uint32_t offset = 0;
    bool isConst = false;
    bool isSigned = false;
    const BasicObject* type = nullptr;
};

// Appends the signals of `object` (a variable's type) to `signals`.
void expand(const BasicObject* object, SignalInfo signal, bool membersOnly,
            std::vector<SignalInfo>& signals);

// True when the encoding text names a signed encoding ("signed",
// "signed char"; not "unsigned", "float", "boolean", "").
bool isSignedEncoding(std::string_view encodingName);

// The scope-qualified name of an object (see Naming.cpp).
std::string qualifiedName(const BasicObject* object, std::string suffix);

}  // namespace Model
