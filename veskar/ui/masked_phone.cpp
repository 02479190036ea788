#include "veskar/ui/masked_phone.hpp"

namespace veskar::ui {

QString maskedPhoneText(const std::optional<LoginInfo>& info) {
  if (!info) return qtTrId("common.unknown");
  QString phone = QString::fromStdString(info->phone);
  if (phone.size() < 7) return phone;
  return phone.left(phone.size() - 7) + QStringLiteral("***") + phone.right(4);
}

}  // namespace veskar::ui
