// Removing and renaming names. The kernel names its targets by directory and name; the host finds
// the items with lookups of its own, counted in the node table while it works and given back when
// it is done, so the daemon's lookup counts return to what the kernel holds.
#include "vorlane-fskitd/KernelAttributes.h"
#include "vorlane-fskitd/KernelOperations+Pending.h"
#include "vorlane-fskitd/RenamePlan.h"

#include <sys/stat.h>

namespace host {
namespace {

// A plain rename that found the destination free retries when another process takes the name
// before the volume renames.
constexpr int renameAttempts = 3;

} // namespace

void KernelOperations::remove(fuse_req_t request, fuse_ino_t parent, const char* name, bool directory)
{
    ItemPointer from = itemOrStale(request, parent);
    if (!from)
        return;
    fskit::FSFileName itemName = nameOf(name);
    findKind(from, itemName,
        [this, answer = pending(request), from, itemName, directory](
            ItemPointer item, bool isDirectory, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            // The volume removes by the item's type; the kernel's request decides what may go.
            if (isDirectory != directory) {
                table->drop(item, 1);
                return answer->fail(directory ? ENOTDIR : EISDIR);
            }
            volume->removeItem(item, itemName, from, [this, answer, item](std::exception_ptr failure) {
                table->drop(item, 1);
                if (failure)
                    return answer->fail(failure);
                answer->succeed();
            });
        });
}

void KernelOperations::rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
    const char* newName, unsigned int flags)
{
    ItemPointer from = itemOrStale(request, parent);
    ItemPointer to = from ? itemOrStale(request, newParent) : nullptr;
    if (!to)
        return;
    // Flags refused whatever the names hold are refused before anything is looked up.
    if (decideRename(flags, false, std::nullopt).linuxErrno == EINVAL)
        return static_cast<void>(fuse_reply_err(request, EINVAL));
    renameAttempt(
        pending(request), Renaming { from, nameOf(name), to, nameOf(newName), flags }, renameAttempts);
}

void KernelOperations::renameAttempt(
    const PendingRequest& request, const Renaming& renaming, int attemptsLeft)
{
    findKind(renaming.from, renaming.name,
        [this, request, renaming, attemptsLeft](
            ItemPointer source, bool sourceIsDirectory, std::exception_ptr error) {
            if (error)
                return request->fail(error);
            auto decided = [this, request, renaming, attemptsLeft, source, sourceIsDirectory](
                               ItemPointer target, bool targetIsDirectory) {
                std::optional<RenameTarget> held;
                if (target)
                    held = RenameTarget { targetIsDirectory, target == source };
                RenameDecision decision = decideRename(renaming.flags, sourceIsDirectory, held);
                auto giveBack = [this, source, target] {
                    table->drop(source, 1);
                    if (target)
                        table->drop(target, 1);
                };
                // Answers with a Linux errno, 0 for success.
                Finish finish = [request, giveBack](int linuxErrno) {
                    giveBack();
                    request->fail(linuxErrno);
                };
                auto finishWith = [finish](std::optional<fskit::FSFileName>, std::exception_ptr failure) {
                    finish(failure ? linuxErrnoFor(failure) : 0);
                };
                switch (decision.action) {
                case RenameAction::refuse:
                    return finish(decision.linuxErrno);
                case RenameAction::nothing:
                    return finish(0);
                case RenameAction::move:
                    return volume->renameItem(source, renaming.from, renaming.name, renaming.newName,
                        renaming.to, nullptr,
                        [this, request, renaming, attemptsLeft, giveBack, finishWith](
                            std::optional<fskit::FSFileName> name, std::exception_ptr failure) {
                            bool taken = failure && linuxErrnoFor(failure) == EEXIST;
                            if (!taken || !renameNeedsTarget(renaming.flags) || attemptsLeft <= 1)
                                return finishWith(name, failure);
                            giveBack();
                            renameAttempt(request, renaming, attemptsLeft - 1);
                        });
                case RenameAction::exchange:
                    return volume->renameItem(source, renaming.from, renaming.name, renaming.newName,
                        renaming.to, target, finishWith);
                case RenameAction::replace:
                    return replace(renaming, source, target, finish);
                }
            };
            if (!renameNeedsTarget(renaming.flags))
                return decided(nullptr, false);
            findKind(renaming.to, renaming.newName,
                [this, request, source, decided](
                    ItemPointer target, bool targetIsDirectory, std::exception_ptr failure) {
                    if (failure && linuxErrnoFor(failure) != ENOENT) {
                        table->drop(source, 1);
                        return request->fail(failure);
                    }
                    decided(target, targetIsDirectory);
                });
        });
}

void KernelOperations::replace(
    const Renaming& renaming, const ItemPointer& source, const ItemPointer& target, Finish finish)
{
    volume->renameItem(source, renaming.from, renaming.name, renaming.newName, renaming.to, target,
        [this, renaming, source, target, finish](std::optional<fskit::FSFileName>, std::exception_ptr error) {
            if (error)
                return finish(linuxErrnoFor(error));
            // The target now holds the source's old name.
            volume->removeItem(target, renaming.name, renaming.from,
                [this, renaming, source, target, finish](std::exception_ptr failure) {
                    if (!failure)
                        return finish(0);
                    // Should the exchange back fail too, the names stay exchanged: the removal's
                    // error is what the caller learns either way.
                    volume->renameItem(source, renaming.to, renaming.newName, renaming.name, renaming.from,
                        target, [finish, failure](std::optional<fskit::FSFileName>, std::exception_ptr) {
                            finish(linuxErrnoFor(failure));
                        });
                });
        });
}

} // namespace host
