// Heavy work handed to the caller. The core decides what is heavy (work over at least
// limits::kHeavyWorkBytes); the caller decides how to run it: the binding lets the host's
// other threads run meanwhile.
#pragma once

namespace qv {

class Executor {
public:
    virtual ~Executor() = default;

    // Runs `work(context)` once before returning. The work touches only plain memory that
    // stays put until it returns.
    virtual void run(void (*work)(void*), void* context) = 0;

    template <typename Work>
    void run(Work& work)
    {
        run([](void* context) { (*static_cast<Work*>(context))(); }, &work);
    }
};

// Runs everything where it is asked: for the native tests and the fuzz targets.
class InlineExecutor final : public Executor {
public:
    using Executor::run;
    void run(void (*work)(void*), void* context) override { work(context); }
};

}  // namespace qv
