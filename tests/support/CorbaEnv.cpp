#include "tests/support/CorbaEnv.h"

#include "tests/support/SupportDetail.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#ifndef TMX_NOTIFIER_PATH
#define TMX_NOTIFIER_PATH TMX_BIN_DIR "/tmx-notifier"
#endif

namespace tmx::test {

namespace {

bool tcpAnswers(int port)
{
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

} // namespace

// ------------------------------------------------------------------ ports

int freeLoopbackPort()
{
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw failure("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    ::close(fd);
    throw failure("bind 127.0.0.1:0");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

// ---------------------------------------------------------- NamingService

NamingService::NamingService(milliseconds timeout)
  : dir_("tmx-names")
{
  std::string why;
  auto deadline = Clock::now() + timeout;
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = freeLoopbackPort();
    if (launch(true, milliseconds(std::max(remainingMs(deadline), 1000)), why))
      return;
  }
  throw std::runtime_error("omniNames did not start: " + why);
}

NamingService::~NamingService()
{
  stop();
}

std::string NamingService::corbaloc() const
{
  return "corbaloc::127.0.0.1:" + std::to_string(port_) + "/NameService";
}

std::vector<std::string> NamingService::orbArgs() const
{
  return { "-ORBInitRef", "NameService=" + corbaloc(), "-ORBendPoint", "giop:tcp:127.0.0.1:" };
}

bool NamingService::launch(bool fresh, milliseconds timeout, std::string &why)
{
  std::string endpoint = "giop:tcp:127.0.0.1:" + std::to_string(port_);
  std::vector<std::string> argv{ "omniNames" };
  if (fresh) {
    argv.push_back("-start");
    argv.push_back(std::to_string(port_));
  }
  argv.insert(argv.end(), { "-datadir", dir_.path(), "-nohostname", "-ORBendPoint", endpoint });
  process_ = std::make_unique<ChildProcess>(argv);
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (!process_->running()) {
      why = "port " + std::to_string(port_) + ": " + process_->wait().describe() + "\n" + process_->err() +
            process_->out();
      process_.reset();
      return false;
    }
    if (tcpAnswers(port_)) {
      RunResult r = run({ "nameclt",
                          "-ORBInitRef",
                          "NameService=" + corbaloc(),
                          "-ORBclientCallTimeOutPeriod",
                          "2000",
                          "list" },
                        milliseconds(5000));
      if (r.status.ok())
        return true;
      why = r.err;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  why = "no answer on port " + std::to_string(port_) + " in time: " + why + process_->err();
  process_->kill();
  process_.reset();
  return false;
}

void NamingService::stop()
{
  if (process_) {
    resume();
    process_->stop();
    process_.reset();
  }
}

void NamingService::suspend()
{
  if (process_)
    process_->signal(SIGSTOP);
}

void NamingService::resume()
{
  if (process_)
    process_->signal(SIGCONT);
}

void NamingService::start(milliseconds timeout)
{
  stop();
  std::string why;
  if (!launch(false, timeout, why))
    throw std::runtime_error("omniNames did not restart: " + why);
}

bool NamingService::running()
{
  return process_ && process_->running();
}

bool NamingService::isBound(const std::string &name)
{
  RunResult r = run({ "nameclt",
                      "-ORBInitRef",
                      "NameService=" + corbaloc(),
                      "-ORBclientCallTimeOutPeriod",
                      "2000",
                      "resolve",
                      name },
                    milliseconds(5000));
  return r.status.ok() && r.out.find("IOR:") != std::string::npos;
}

bool NamingService::waitBound(const std::string &name, bool bound, milliseconds timeout)
{
  return eventually([&] { return isBound(name) == bound; }, timeout);
}

// --------------------------------------------------------------- CorbaEnv

CorbaEnv::CorbaEnv(milliseconds timeout)
  : naming_(timeout)
{
}

CorbaEnv::~CorbaEnv()
{
  if (notifier_)
    notifier_->stop();
  notifier_.reset();
}

std::string CorbaEnv::notifierPath()
{
  return TMX_NOTIFIER_PATH;
}

ChildProcess &CorbaEnv::startNotifier(const std::vector<std::string> &extraArgs, milliseconds timeout)
{
  if (notifier_)
    notifier_->stop();
  notifier_.reset();
  notifierArgs_ = extraArgs;
  std::vector<std::string> argv{ notifierPath() };
  for (const auto &a : naming_.orbArgs())
    argv.push_back(a);
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  notifier_ = std::make_unique<ChildProcess>(argv);
  if (!notifier_->waitForOut("tmx-notifier: bound as Notifier", timeout)) {
    std::string why = notifier_->out() + notifier_->err();
    notifier_->kill();
    notifier_.reset();
    throw std::runtime_error("tmx-notifier did not come up: " + why);
  }
  return *notifier_;
}

ExitStatus CorbaEnv::stopNotifier(milliseconds grace)
{
  if (!notifier_)
    return ExitStatus{};
  return notifier_->stop(grace);
}

ExitStatus CorbaEnv::killNotifier()
{
  if (!notifier_)
    return ExitStatus{};
  return notifier_->kill();
}

ChildProcess &CorbaEnv::restartNotifier(milliseconds timeout)
{
  killNotifier();
  return startNotifier(notifierArgs_, timeout);
}

// ---------------------------------------------------------------- TestOrb

TestOrb::TestOrb(const std::vector<std::string> &orbArgs, const std::vector<std::string> &extraArgs)
{
  std::vector<std::string> args{ "test" };
  args.insert(args.end(), orbArgs.begin(), orbArgs.end());
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  Args argv(std::move(args));
  orb_ = CORBA::ORB_init(argv.argc, argv.argv());
  try {
    CORBA::Object_var obj = orb_->resolve_initial_references("RootPOA");
    poa_ = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = poa_->the_POAManager();
    manager->activate();
    // Unchecked: constructing a TestOrb never talks to the naming service.
    try {
      obj = orb_->resolve_initial_references("NameService");
      naming_ = CosNaming::NamingContext::_unchecked_narrow(obj);
    } catch (const CORBA::SystemException &) {
      // No naming service given (NO_RESOURCES in omniORB): naming() is nil.
    } catch (const CORBA::ORB::InvalidName &) {
    }
  } catch (...) {
    poa_ = PortableServer::POA::_nil();
    orb_->destroy();
    throw;
  }
}

TestOrb::~TestOrb()
{
  naming_ = CosNaming::NamingContext::_nil();
  poa_ = PortableServer::POA::_nil();
  try {
    orb_->destroy();
  } catch (const CORBA::Exception &) {
  }
}

CosNaming::Name TestOrb::name(const std::string &id)
{
  CosNaming::Name n;
  n.length(1);
  n[0].id = id.c_str();
  n[0].kind = "";
  return n;
}

CORBA::Object_ptr TestOrb::resolve(const std::string &id)
{
  try {
    return naming_->resolve(name(id));
  } catch (const CosNaming::NamingContext::NotFound &) {
    return CORBA::Object::_nil();
  }
}

void TestOrb::rebind(const std::string &id, CORBA::Object_ptr object)
{
  naming_->rebind(name(id), object);
}

bool TestOrb::unbind(const std::string &id)
{
  try {
    naming_->unbind(name(id));
    return true;
  } catch (const CosNaming::NamingContext::NotFound &) {
    return false;
  }
}

bool TestOrb::waitBound(const std::string &id, bool bound, milliseconds timeout)
{
  return eventually(
    [&] {
      try {
        CORBA::Object_var obj = resolve(id);
        return CORBA::is_nil(obj) != bound;
      } catch (const CORBA::SystemException &) {
        return false; // naming service restarting or not yet up
      }
    },
    timeout);
}

CORBA::Object_ptr TestOrb::activate(PortableServer::Servant servant)
{
  PortableServer::ObjectId_var id = poa_->activate_object(servant);
  return poa_->id_to_reference(id.in());
}

void TestOrb::deactivate(PortableServer::Servant servant)
{
  PortableServer::ObjectId_var id = poa_->servant_to_id(servant);
  poa_->deactivate_object(id.in());
}

NotifierSubscription::NotifierSubscription(TestOrb &orb,
                                           PortableServer::Servant consumer,
                                           const std::string &filter)
{
  CORBA::Object_var object = orb.resolve("Notifier");
  notifier_ = Event_Comm::Notifier::_narrow(object.in());
  if (CORBA::is_nil(notifier_))
    throw std::runtime_error("\"Notifier\" is not bound to a notifier");
  CORBA::Object_var self = orb.activate(consumer);
  consumer_ = Event_Comm::Consumer::_narrow(self.in());
  notifier_->subscribe(consumer_.in(), filter.c_str());
}

NotifierSubscription::~NotifierSubscription()
{
  try {
    notifier_->unsubscribe(consumer_.in(), "");
  } catch (const CORBA::Exception &) {
  }
}

} // namespace tmx::test
