// The namespace table that the SOAP runtime looks up by name; generated from
// the service header. Linked into every program through ferro_soap.
#include "Device.nsmap"
