// Request records: one per registered sensor, held by the node for good and
// once more by every reading request in flight.
#include <stdlib.h>

#include "ipmi/openipmi.h"

sdata_t* alloc_sdata(ipmi_sensor_t* sensor) {
  sdata_t* sdata = static_cast<sdata_t*>(calloc(1, sizeof(sdata_t)));
  if (!sdata) return nullptr;
  sdata->refcount = 1;
  sdata->sensor_id = ipmi_sensor_convert_to_id(sensor);
  ipmi_sensor_get_name(sensor, sdata->name, sizeof sdata->name);
  return sdata;
}

void use_sdata(sdata_t* sdata) { sdata->refcount++; }

void release_sdata(sdata_t* sdata) {
  if (--sdata->refcount > 0) return;
  free(sdata);
}
