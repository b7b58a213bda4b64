#pragma once

// The panel stacks its children bottom to top in this order.
namespace brask::test
{
    enum PanelChild
    {
        floorChild,
        bodyChild,
        knob1,
        readOut1,
        knob2,
        readOut2,
        knob3,
        readOut3,
        footswitch,
        link,
        numChildren
    };
}
