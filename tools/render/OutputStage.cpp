#include "OutputStage.h"

OutputStage::OutputStage (int numSlots, int numChannels, int samplesPerSlot, bool keepInput, std::function<bool (Slot&)> consumeSlot)
    : consume (std::move (consumeSlot))
{
    for (int i = 0; i < numSlots; ++i)
    {
        auto slot = std::make_unique<Slot>();
        slot->exact.setSize (numChannels, samplesPerSlot);
        slot->output.setSize (numChannels, samplesPerSlot);

        if (keepInput)
            slot->input.setSize (numChannels, samplesPerSlot);

        freeSlots.push_back (slot.get());
        slots.push_back (std::move (slot));
    }

    // With one slot there is nothing to overlap: the caller's thread consumes it.
    if (numSlots > 1)
        thread = std::thread ([this] { run(); });
}

OutputStage::~OutputStage()
{
    finish();
}

OutputStage::Slot* OutputStage::acquire()
{
    std::unique_lock<std::mutex> guard (lock);
    changed.wait (guard, [this] { return failed || ! freeSlots.empty(); });

    if (failed)
        return nullptr;

    auto* slot = freeSlots.front();
    freeSlots.pop_front();
    return slot;
}

void OutputStage::submit (Slot* slot)
{
    if (! thread.joinable())
    {
        const auto ok = consume (*slot);
        const std::lock_guard<std::mutex> guard (lock);
        freeSlots.push_back (slot);
        failed = failed || ! ok;
        return;
    }

    {
        const std::lock_guard<std::mutex> guard (lock);
        filledSlots.push_back (slot);
    }

    changed.notify_all();
}

bool OutputStage::finish()
{
    {
        const std::lock_guard<std::mutex> guard (lock);
        finishing = true;
    }

    changed.notify_all();

    if (thread.joinable())
        thread.join();

    const std::lock_guard<std::mutex> guard (lock);
    return ! failed;
}

void OutputStage::run()
{
    for (;;)
    {
        Slot* slot = nullptr;

        {
            std::unique_lock<std::mutex> guard (lock);
            changed.wait (guard, [this] { return finishing || ! filledSlots.empty(); });

            if (filledSlots.empty())
                return;  // finishing, and everything submitted is written

            slot = filledSlots.front();
            filledSlots.pop_front();
        }

        const auto ok = consume (*slot);

        {
            const std::lock_guard<std::mutex> guard (lock);
            freeSlots.push_back (slot);

            if (! ok)
                failed = true;
        }

        changed.notify_all();

        if (! ok)
            return;
    }
}
