#include "transcode/rendition_objects.hpp"

namespace kestrava {
namespace {

AVFilterInOut *describe_open_end(const char *name, AVFilterContext *filter) {
    AVFilterInOut *end = avfilter_inout_alloc();
    if (end != nullptr) {
        end->name = av_strdup(name);
        end->filter_ctx = filter;
        end->pad_idx = 0;
        end->next = nullptr;
    }
    return end;
}

}  // namespace

bool build_filter_chain(filter_graph_ptr &graph, AVFilterContext *&source,
                        AVFilterContext *&sink, const char *source_name,
                        const char *source_arguments, const char *sink_name, const char *chain,
                        const AVBufferSrcParameters *source_parameters) {
    graph.reset(avfilter_graph_alloc());
    source = nullptr;
    sink = nullptr;
    if (!graph) {
        return false;
    }
    const AVFilter *source_filter = avfilter_get_by_name(source_name);
    const AVFilter *sink_filter = avfilter_get_by_name(sink_name);
    if (avfilter_graph_create_filter(&source, source_filter, "in", source_arguments, nullptr,
                                     graph.get()) < 0 ||
        avfilter_graph_create_filter(&sink, sink_filter, "out", nullptr, nullptr, graph.get()) <
            0) {
        return false;
    }
    if (source_parameters != nullptr &&
        av_buffersrc_parameters_set(source, const_cast<AVBufferSrcParameters *>(source_parameters)) < 0) {
        return false;
    }

    // Declared output first so that the input end is freed first.
    filter_inout_ptr open_output(describe_open_end("in", source));
    filter_inout_ptr open_input(describe_open_end("out", sink));
    if (!open_output || !open_input || !open_output->name || !open_input->name) {
        return false;
    }
    AVFilterInOut *inputs = open_input.release();
    AVFilterInOut *outputs = open_output.release();
    const int parsed = avfilter_graph_parse_ptr(graph.get(), chain, &inputs, &outputs, nullptr);
    open_output.reset(outputs);
    open_input.reset(inputs);
    return parsed >= 0 && avfilter_graph_config(graph.get(), nullptr) >= 0;
}

}  // namespace kestrava
