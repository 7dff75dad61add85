// Permission bits for the System V objects the stand-in creates.
#ifndef OLK_STANDIN_IPC_MODE_H
#define OLK_STANDIN_IPC_MODE_H

namespace olk {

// 0660 unless OLK_IPC_MODE holds an octal mode of at most 0777. Read at every call: objects
// are created rarely, and a program may change its mind between two creations.
int ipc_mode() noexcept;

}  // namespace olk

#endif  // OLK_STANDIN_IPC_MODE_H
