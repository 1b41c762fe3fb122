#include "clients/userinfo.h"

#include <atomic>

int UserInfo::typeId()
{
    static std::atomic<int> cached{0};
    int id = cached.load(std::memory_order_acquire);
    if (id == 0) {
        id = qRegisterMetaType<UserInfo>("UserInfo");
        cached.store(id, std::memory_order_release);
    }
    return id;
}

QVariant UserInfo::toVariant() const
{
    return QVariant(typeId(), this);
}

UserInfo UserInfo::fromVariant(const QVariant &v)
{
    if (v.userType() == typeId())
        return *static_cast<const UserInfo *>(v.constData());
    return UserInfo();
}
