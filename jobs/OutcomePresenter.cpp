// Presenting the outcome of a finished job through the installed presenter.
#include <cstdio>
#include <mutex>

#include "jobs/JobOutcome.h"
#include "jobs/JobStatusBlock.h"

namespace jobs {
namespace {

std::mutex g_presenterLock;
OutcomePresenter g_presenter;

// The command-line front end and tests have no windows: the message goes to standard error.
void PresentOnConsole(const OutcomeMessage& message) {
    if (message.kind != MessageKind::None)
        std::fprintf(stderr, "%s\n", message.text.c_str());
}

OutcomeMessage Present(OutcomeMessage message) {
    OutcomePresenter presenter;
    {
        std::lock_guard lock(g_presenterLock);
        presenter = g_presenter;
    }
    if (message.kind != MessageKind::None) {
        if (presenter)
            presenter(message);
        else
            PresentOnConsole(message);
    }
    return message;
}

} // namespace

void SetOutcomePresenter(OutcomePresenter presenter) {
    std::lock_guard lock(g_presenterLock);
    g_presenter = std::move(presenter);
}

OutcomeMessage ShowJobOutcome(bool isSend, int files, const JobStatusBlock& block) {
    return Present(ShowJobOutcome(block.End(isSend, files)));
}

OutcomeMessage ShowJobError(bool isSend, const JobStatusBlock& block) {
    return Present(ShowJobError(block.End(isSend, 0)));
}

} // namespace jobs
