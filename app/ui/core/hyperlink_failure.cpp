#include "core/hyperlink_failure.h"

#include "hart/strings.h"

namespace zelhart::ui {

int LinkFailureTextId(LinkFailure failure) {
    switch (failure) {
    case LinkFailure::NoHandler:
        return hart::str::kLinkNoAssociation;
    case LinkFailure::NotFound:
        return hart::str::kLinkFileNotFound;
    case LinkFailure::Other:
        break;
    }
    return hart::str::kLinkUnknownError;
}

std::string LinkFailureMessage(LinkFailure failure, int code) {
    std::string reason(hart::LoadString(LinkFailureTextId(failure)));
    if (failure == LinkFailure::Other) reason += " (" + std::to_string(code) + ")";
    return std::string(hart::LoadString(hart::str::kLinkCannotOpen)) + reason;
}

} // namespace zelhart::ui
