#include "session/SharedText.h"

#include "formats/Secrets.h"

namespace provisor {

std::shared_ptr<const std::string> SharedText::Hold(std::string text) {
    return std::shared_ptr<const std::string>(new std::string(std::move(text)), [](const std::string* held) {
        Wipe(*const_cast<std::string*>(held));
        delete held;
    });
}

}  // namespace provisor
