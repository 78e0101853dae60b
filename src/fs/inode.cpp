#include "fs/inode.h"

namespace marrowfen::fs {

namespace {

template <class Node>
void destroy(INode* node) {
  auto* typed = static_cast<Node*>(node);
  typed->~Node();
  ::operator delete(typed);
}

}  // namespace

INodeRef INode::make(InodeId id, InodeId parent, size_t depth, std::string_view name, INodeKind&& kind) {
  switch (kind.index()) {
    case 0: return INodeRef(new FileNode(id, parent, depth, name, std::get<File>(std::move(kind))));
    case 1: return INodeRef(new DirectoryNode(id, parent, depth, name, std::get<Directory>(std::move(kind))));
    default: return INodeRef(new SymlinkNode(id, parent, depth, name, std::get<Symlink>(kind)));
  }
}

INodeRef INode::make(InodeId id, InodeId parent, size_t depth, std::string_view name, INodeType type) {
  if (type == INodeType::Directory) return INodeRef(new DirectoryNode(id, parent, depth, name));
  return INodeRef(new FileNode(id, parent, depth, name));
}

void INode::operator delete(INode* node, std::destroying_delete_t) {
  switch (node->type) {
    case INodeType::File: destroy<FileNode>(node); break;
    case INodeType::Directory: destroy<DirectoryNode>(node); break;
    case INodeType::Symlink: destroy<SymlinkNode>(node); break;
  }
}

}  // namespace marrowfen::fs
