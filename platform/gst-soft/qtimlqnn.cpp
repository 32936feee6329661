// SPDX-License-Identifier: LGPL-2.1-or-later
/**
 * qtimlqnn: runs the model on each input tensor through the Tarkin runtime
 * and outputs the model's output tensors; the soft stand-in of the board's
 * QNN inference element ("backend" names the board's QNN library and is
 * only reported here).
 *
 *   gst-launch-1.0 videotestsrc num-buffers=10 ! video/x-raw,format=NV12,width=640,height=360 ! \
 *       qtimlvconverter ! qtimlqnn model=yolov8.onnx ! qtimlvdetection module=yolov8 ! fakesink
 *
 * The model is opened when the element starts (a model that cannot be
 * loaded fails the state change) and released when it stops.
 */
#include "qtimlqnn.h"

#include "mltensor.h"
#include "tarkin/tarkin.h"

#include <gst/base/gstbasetransform.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

GST_DEBUG_CATEGORY_STATIC(gst_nmx_soft_mlqnn_debug);
#define GST_CAT_DEFAULT gst_nmx_soft_mlqnn_debug

enum { PROP_0, PROP_MODEL, PROP_BACKEND };

#define DEFAULT_MODEL NULL
#define DEFAULT_BACKEND NULL

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(NMX_SOFT_TENSOR_CAPS_NAME));
static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(NMX_SOFT_TENSOR_CAPS_NAME));

struct NmxMlQnnPrivate {
  std::mutex lock;  // guards the settings
  std::string model;
  std::string backend;
  // Opened in start, freed in stop; used only from the streaming thread between.
  // Model and Config belong to the runtime.
  std::unique_ptr<Velkor::Tarkin::Interpreter> interpreter;
};

typedef struct {
  GstBaseTransform parent;
  NmxMlQnnPrivate *priv;
} GstNmxSoftMlQnn;

typedef struct {
  GstBaseTransformClass parent_class;
} GstNmxSoftMlQnnClass;

#define NMX_MLQNN(obj) ((GstNmxSoftMlQnn *)(obj))

G_DEFINE_TYPE(GstNmxSoftMlQnn, gst_nmx_soft_mlqnn, GST_TYPE_BASE_TRANSFORM)

static gboolean gst_nmx_soft_mlqnn_start(GstBaseTransform *trans)
{
  using namespace Velkor::Tarkin;
  NmxMlQnnPrivate *priv = NMX_MLQNN(trans)->priv;
  std::string model_path, backend;
  {
    std::lock_guard<std::mutex> g(priv->lock);
    model_path = priv->model;
    backend = priv->backend;
  }
  if (model_path.empty()) {
    GST_ERROR_OBJECT(trans, "no model set");
    return FALSE;
  }
  GST_INFO_OBJECT(trans, "model %s, backend %s", model_path.c_str(), backend.c_str());
  Model *model = Model::create_instance(model_path);
  if (!model) {
    GST_ERROR_OBJECT(trans, "cannot read model %s", model_path.c_str());
    return FALSE;
  }
  /* The runtime maps the network's outputs onto declared shapes; the layout
   * declared is the one qtimlvdetection decodes. */
  const unsigned size = nmxsoft::kModelSize;
  model->set_model_properties({{1, size, size, 3}}, DATA_TYPE_FLOAT32,
                              {{1, 4, (unsigned)nmxsoft::kAnchors}, {1, 80, (unsigned)nmxsoft::kAnchors}},
                              DATA_TYPE_FLOAT32);
  Config *config = Config::create_instance();
  if (!config) {
    GST_ERROR_OBJECT(trans, "cannot create the runtime configuration");
    return FALSE;
  }
  config->runtime = 3;
  config->performance = 3;
  config->model_family = 4;
  config->output_layout = 1;
  auto interpreter = InterpreterBuilder::build_interpretper_from_model_and_config(model, config);
  if (!interpreter || interpreter->init(nullptr) != 0 || interpreter->load_model(nullptr) != 0) {
    GST_ERROR_OBJECT(trans, "cannot load model %s", model_path.c_str());
    return FALSE;
  }
  priv->interpreter = std::move(interpreter);
  return TRUE;
}

static gboolean gst_nmx_soft_mlqnn_stop(GstBaseTransform *trans)
{
  NMX_MLQNN(trans)->priv->interpreter.reset();
  return TRUE;
}

static gboolean gst_nmx_soft_mlqnn_transform_size(GstBaseTransform *, GstPadDirection direction, GstCaps *, gsize,
                                                  GstCaps *, gsize *othersize)
{
  if (direction != GST_PAD_SINK)
    return FALSE;
  *othersize = nmxsoft::kModelOutputElements * sizeof(float);
  return TRUE;
}

static GstFlowReturn gst_nmx_soft_mlqnn_transform(GstBaseTransform *trans, GstBuffer *inbuf, GstBuffer *outbuf)
{
  NmxMlQnnPrivate *priv = NMX_MLQNN(trans)->priv;
  if (!priv->interpreter)
    return GST_FLOW_NOT_NEGOTIATED;
  GstMapInfo in;
  if (!gst_buffer_map(inbuf, &in, GST_MAP_READ))
    return GST_FLOW_ERROR;
  if (in.size < nmxsoft::kModelInputElements * sizeof(float)) {
    GST_ERROR_OBJECT(trans, "input tensor of %" G_GSIZE_FORMAT " bytes is too small", in.size);
    gst_buffer_unmap(inbuf, &in);
    return GST_FLOW_ERROR;
  }
  int rc = priv->interpreter->set_input_tensor(0, in.data);
  if (rc == 0)
    rc = priv->interpreter->invoke(nullptr);
  gst_buffer_unmap(inbuf, &in);
  if (rc != 0) {
    GST_ERROR_OBJECT(trans, "inference failed rc=%d", rc);
    return GST_FLOW_ERROR;
  }
  GstMapInfo out;
  if (!gst_buffer_map(outbuf, &out, GST_MAP_WRITE))
    return GST_FLOW_ERROR;
  const size_t expect[2] = {nmxsoft::kBoxElements, nmxsoft::kClassElements};
  size_t offset = 0;
  GstFlowReturn ret = GST_FLOW_OK;
  for (unsigned i = 0; i < 2; i++) {
    void *data = nullptr;
    unsigned size = 0;
    /* A short output would be read past its end: refused. */
    if (priv->interpreter->get_output_tensor(i, &data, &size) != 0 || !data || size < expect[i] ||
        out.size < (offset + expect[i]) * sizeof(float)) {
      GST_ERROR_OBJECT(trans, "output %u missing or short (%u elements)", i, size);
      ret = GST_FLOW_ERROR;
      break;
    }
    memcpy(out.data + offset * sizeof(float), data, expect[i] * sizeof(float));
    offset += expect[i];
  }
  gst_buffer_unmap(outbuf, &out);
  return ret;
}

static void gst_nmx_soft_mlqnn_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec)
{
  NmxMlQnnPrivate *priv = NMX_MLQNN(object)->priv;
  std::lock_guard<std::mutex> g(priv->lock);
  const gchar *s = g_value_get_string(value);
  switch (prop_id) {
    case PROP_MODEL:
      priv->model = s ? s : "";
      break;
    case PROP_BACKEND:
      priv->backend = s ? s : "";
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_mlqnn_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec)
{
  NmxMlQnnPrivate *priv = NMX_MLQNN(object)->priv;
  std::lock_guard<std::mutex> g(priv->lock);
  switch (prop_id) {
    case PROP_MODEL:
      g_value_set_string(value, priv->model.c_str());
      break;
    case PROP_BACKEND:
      g_value_set_string(value, priv->backend.c_str());
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
}

static void gst_nmx_soft_mlqnn_finalize(GObject *object)
{
  delete NMX_MLQNN(object)->priv;
  G_OBJECT_CLASS(gst_nmx_soft_mlqnn_parent_class)->finalize(object);
}

static void gst_nmx_soft_mlqnn_class_init(GstNmxSoftMlQnnClass *klass)
{
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *bt_class = GST_BASE_TRANSFORM_CLASS(klass);
  GST_DEBUG_CATEGORY_INIT(gst_nmx_soft_mlqnn_debug, "qtimlqnn", 0, "Soft ML inference");
  gobject_class->set_property = gst_nmx_soft_mlqnn_set_property;
  gobject_class->get_property = gst_nmx_soft_mlqnn_get_property;
  gobject_class->finalize = gst_nmx_soft_mlqnn_finalize;
  const GParamFlags flags = (GParamFlags)(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(gobject_class, PROP_MODEL,
                                  g_param_spec_string("model", "Model", "Model file (ONNX or tensor replay)",
                                                      DEFAULT_MODEL, flags));
  g_object_class_install_property(gobject_class, PROP_BACKEND,
                                  g_param_spec_string("backend", "Backend", "Inference back-end library",
                                                      DEFAULT_BACKEND, flags));
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(element_class, "ML inference (soft)", "Filter/Effect",
                                        "Runs a model on tensors through the Tarkin runtime", "Nimbra");
  bt_class->start = gst_nmx_soft_mlqnn_start;
  bt_class->stop = gst_nmx_soft_mlqnn_stop;
  bt_class->transform_size = gst_nmx_soft_mlqnn_transform_size;
  bt_class->transform = gst_nmx_soft_mlqnn_transform;
  bt_class->passthrough_on_same_caps = FALSE;
}

static void gst_nmx_soft_mlqnn_init(GstNmxSoftMlQnn *self)
{
  self->priv = new NmxMlQnnPrivate();
}
