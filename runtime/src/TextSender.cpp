// PLACEHOLDER (to be replaced): minimal text senders so the runtime links.
#include "qelmq/TextSender.h"

#include <cstring>

TextSender::TextSender(int port) : queue(new Queue()), port_(port) {
  std::memset(ip, 0, sizeof(ip));
  std::memset(state, 0, sizeof(state));
  pthread_mutex_init(&mutex, nullptr);
}
TextSender::~TextSender() {
  qel_net::close_socket(socket);
  delete queue;
  pthread_mutex_destroy(&mutex);
}
void TextSender::init_zmq() {}
void TextSender::execute(std::string&) {}
void TextSender::sendLeaveMsg() {}
void TextSender::run() {
  while (!stopSend.load()) qel_detail::yield_for_publish();
}
QelSendParam::QelSendParam() : TextSender(15561) {}
QelSendTime::QelSendTime() : TextSender(15564) {}
void* fsend_param(void* s) { static_cast<TextSender*>(s)->run(); return s; }
void* fsend_time(void* s) { static_cast<TextSender*>(s)->run(); return s; }
