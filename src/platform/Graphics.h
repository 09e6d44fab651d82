// Graphics facilities shared by every backend. (Placeholder; the screenshot work fills it in.)
#pragma once

namespace ovra {

class Graphics {
public:
    virtual ~Graphics() = default;
};

}  // namespace ovra
