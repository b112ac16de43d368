// The sample server as a server library, OrdersLib.so: a program that links
// no server code makes its classes once ObjectServerName is "OrdersLib" and
// the library lies in a folder of REPLIKON_SERVER_PATH.
#include "orders/orders_server.hpp"
#include "replikon/server.hpp"

REPLIKON_SERVER_LIBRARY(orders::MakeOrdersServer)
