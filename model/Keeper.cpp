#include "model/Keeper.h"

bool Keeper::restarts() const {
    switch (kind) {
    case Kind::None:
        return false;
    case Kind::Service:
        return restart != u"no";
    case Kind::Container:
        return restartPolicy != u"no";
    case Kind::Parent:
        return true;
    }
    return false;
}
