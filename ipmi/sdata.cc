// Request records: one per registered sensor, held by the node for good and
// once more by every reading request in flight.
#include <stdlib.h>

#include "ipmi/openipmi.h"

sdata_t* sdata_list = nullptr;

sdata_t* alloc_sdata(ipmi_sensor_t* sensor) {
  sdata_t* sdata = static_cast<sdata_t*>(calloc(1, sizeof(sdata_t)));
  if (!sdata) return nullptr;
  sdata->es = static_cast<ipmi_event_state_t*>(malloc(ipmi_event_state_size()));
  if (!sdata->es) {
    free(sdata);
    return nullptr;
  }
  ipmi_event_state_init(sdata->es);
  sdata->th = static_cast<ipmi_thresholds_t*>(malloc(ipmi_thresholds_size()));
  if (!sdata->th) {
    free(sdata->es);
    free(sdata);
    return nullptr;
  }
  ipmi_thresholds_init(sdata->th);

  sdata->refcount = 1;
  sdata->sensor_id = ipmi_sensor_convert_to_id(sensor);
  ipmi_sensor_get_name(sensor, sdata->name, sizeof sdata->name);

  sdata->next = sdata_list;
  sdata->prev = nullptr;
  if (sdata_list) sdata_list->prev = sdata;
  sdata_list = sdata;
  return sdata;
}

void use_sdata(sdata_t* sdata) { sdata->refcount++; }

void release_sdata(sdata_t* sdata) {
  if (--sdata->refcount > 0) return;
  if (sdata->next) sdata->next->prev = sdata->prev;
  if (sdata->prev)
    sdata->prev->next = sdata->next;
  else
    sdata_list = sdata->next;
  free(sdata->es);
  free(sdata->th);
  free(sdata);
}
