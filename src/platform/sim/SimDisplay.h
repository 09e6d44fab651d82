// Simulated display and graphics. (Placeholder; the screenshot work fills it in.)
#pragma once

#include "platform/Display.h"
#include "platform/Graphics.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimDisplay : public Display {
public:
    explicit SimDisplay(SimJournal& journal) : journal_(journal) {}
    std::shared_ptr<Image> createMainDisplayImage() override { return nullptr; }

private:
    SimJournal& journal_;
};

class SimGraphics : public Graphics {
public:
    explicit SimGraphics(SimJournal& journal) : journal_(journal) {}

private:
    SimJournal& journal_;
};

}  // namespace ovra::sim
